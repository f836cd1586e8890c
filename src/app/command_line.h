#pragma once
// The window's command line: --simulate[=OPTIONS], --record FILE, --replay FILE
// [--replay-speed X], --pacing standard|fast, --station, --help and --version. Read before any window
// exists, so that --help and a mistake are answered on a terminal without a display.

#include "frontend/bus_choice.h"
#include "sim/simulate_options.h"
#include "update/pacer.h"

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
    // The bus to work on, --simulate's text included as given.
    frontend::BusOptions bus;
    // --pacing: standard (the loader's own pauses) or fast.
    update::Pacing pacing = update::Pacing::standard;
    // --station: the station window instead of the utility's.
    bool station = false;
};

CommandLine ParseCommandLine(int argc, const char* const* argv, const std::string& programName);

}  // namespace vumo::app
