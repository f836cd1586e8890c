#include "options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

namespace vumo::bench {
namespace {

namespace fs = std::filesystem;


const std::set<std::string> kParts = {"micro", "update", "station", "window", "pacing", "station64"};

}  // namespace

const char* const kUsage =
    "usage: vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]\n"
    "                  [--paint-runs N] [--idle-seconds S] [--wait-for-load L]\n"
    "                  [--parts micro,update,station,window,pacing,station64]\n"
    "                  [--vm-figures FILE]\n"
    "                  [--pacing-notes FILE] [--station64-notes FILE]\n"
    "                  [--command TEXT] [--benchmark_...]\n";

std::optional<Options> ParseOptions(int& argc, char** argv) {
    Options o;
    CLI::App cli{"vumo-bench", "vumo-bench"};
    // Google Benchmark's flags pass through; our own usage text stands for --help.
    cli.allow_extras();
    cli.set_help_flag();
    bool help = false;
    std::optional<int> runs, paintRuns;
    std::optional<double> idleSeconds;
    std::string parts;
    cli.add_flag("-h,--help", help);
    cli.add_flag("--short", o.shortMode);
    cli.add_option("--output", o.output);
    cli.add_option("--notes", o.notes);
    cli.add_option("--bin", o.bin);
    cli.add_option("--pacing-notes", o.pacingNotes);
    cli.add_option("--station64-notes", o.station64Notes);
    cli.add_option("--vm-figures", o.vmFigures);
    cli.add_option("--command", o.command);
    cli.add_option("--runs", runs)->check(CLI::PositiveNumber);
    cli.add_option("--paint-runs", paintRuns)->check(CLI::PositiveNumber);
    cli.add_option("--idle-seconds", idleSeconds)->check(CLI::PositiveNumber);
    cli.add_option("--wait-for-load", o.waitForLoad)->check(CLI::PositiveNumber);
    cli.add_option("--parts", parts);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return std::nullopt;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        std::exit(0);
    }
    if (!parts.empty()) {
        o.parts.clear();
        std::stringstream list(parts);
        for (std::string part; std::getline(list, part, ',');) {
            if (!kParts.contains(part)) return std::nullopt;
            o.parts.insert(part);
        }
    }
    // What is left must be Google Benchmark's; argv keeps only those, in their order.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--benchmark_")) argv[kept++] = argv[i];
    }
    for (const std::string& extra : cli.remaining())
        if (!std::string_view(extra).starts_with("--benchmark_")) return std::nullopt;
    argc = kept;
    // --short is one quick pass unless a count was given.
    o.runs = runs.value_or(o.shortMode ? 1 : o.runs);
    o.paintRuns = paintRuns.value_or(o.shortMode ? 1 : o.paintRuns);
    o.idleSeconds = idleSeconds.value_or(o.shortMode ? 1 : o.idleSeconds);
    std::error_code ec;
    if (o.bin.empty()) o.bin = fs::read_symlink("/proc/self/exe", ec).parent_path().string();
    // The checksum tool is given to the window by path, which must be absolute.
    o.bin = fs::absolute(o.bin, ec).lexically_normal().string();
    return o;
}

}  // namespace vumo::bench
