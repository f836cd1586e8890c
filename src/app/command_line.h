#pragma once
// The window's command line: --simulate[=OPTIONS], --help and --version. Read before any window
// exists, so that --help and a mistake are answered on a terminal without a display.

#include "sim/simulate_options.h"

#include <optional>
#include <string>

namespace vumo::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct CommandLine {
    enum class Action { run, print, fail };
    Action action = Action::run;
    int exitCode = kExitOk;  // for print and fail
    std::string output;      // print: for stdout; fail: for stderr
    std::optional<sim::SimulateOptions> simulate;  // set when --simulate was given
};

CommandLine ParseCommandLine(int argc, const char* const* argv, const std::string& programName);

}  // namespace vumo::app
