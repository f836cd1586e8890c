#pragma once
// The options that choose the bus (--simulate, --replay, --replay-speed, --record) and the
// pacing (--pacing), described once for every program that takes them: the window on Linux and
// on Windows, and vumo-dfu. Each program keeps its own wording where its help has always read
// differently; the names, values, checks and exclusions are the same everywhere.

#include "frontend/bus_choice.h"
#include "update/pacer.h"

namespace CLI {
class App;
}

namespace vumo::frontend {

// Who the options are for.
// window: the window has no file argument, so --simulate takes its OPTIONS after "=" or a
//   blank, and its help lists them at the option.
// commandLine: --simulate takes OPTIONS only after "=", so that "update --simulate FILE" keeps
//   FILE as the file; the program's help lists them once (sim::kSimulateHelp in its footer).
enum class OptionsFor { window, commandLine };

// Adds --simulate[=OPTIONS], --replay FILE, --replay-speed X and --record FILE to `app`; what
// is given lands in `options` (the fields the command line sets; argv and traceReports are the
// program's own). For the command line it also sets the help formatter that shows
// "--simulate[=OPTIONS]" as it is typed; commands added later inherit it.
void AddBusOptions(CLI::App& app, BusOptions& options, OptionsFor who);

// --pacing standard|fast.
void AddPacingOption(CLI::App& app, update::Pacing& pacing, OptionsFor who);

}  // namespace vumo::frontend
