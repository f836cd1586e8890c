#pragma once
// vumo-bench's own options. Google Benchmark's (--benchmark_...) are left in argv for it.

#include <optional>
#include <set>
#include <string>

namespace vumo::bench {

struct Options {
    bool shortMode = false;
    std::string output;
    std::string notes;
    std::string bin;
    std::string command = "scripts/bench.sh";
    int runs = 3;
    int paintRuns = 5;
    double idleSeconds = 10;
    double waitForLoad = 0;  // 0: do not wait
    std::set<std::string> parts = {"micro", "update", "station", "window", "pacing", "station64"};
    std::string vmFigures;
    std::string pacingNotes;
    std::string station64Notes;
};

extern const char* const kUsage;

// Takes our options out of argv and leaves Google Benchmark's; nothing on a usage mistake.
// --help prints the usage and ends the program.
std::optional<Options> ParseOptions(int& argc, char** argv);

}  // namespace vumo::bench
