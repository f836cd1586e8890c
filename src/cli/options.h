#pragma once
// Pieces every command shares: the options that choose the bus and the bus they select, and
// JSON strings.

#include "frontend/bus_choice.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace vumo::cli {

// Options that apply to every command. They sit on the program itself and the commands pass
// what they don't know on to it, so each is accepted before or after the command:
// "vumo-dfu --simulate list" and "vumo-dfu list --simulate" are the same.
struct CommonOptions {
    // --simulate, --replay, --replay-speed, --record and --trace-reports.
    frontend::BusOptions bus;
    // -v: 1 (phases with times, the checksum tool's command line and output); -vv: 2 (also
    // every report written and read).
    int verbosity = 0;
    // The bus as the options left it, -vv included, with the program's command line for the
    // recording's header.
    frontend::BusOptions Bus() const;
};
void AddCommonOptions(CLI::App& app, CommonOptions& common);

// What the command help says about the options above, which it does not list itself.
extern const char* const kCommonOptionsFooter;

// The bus a command works on (see frontend::BusChoice). On failure returns null, fills `error`
// and sets `exitCode` to the status to end with.
std::unique_ptr<frontend::BusChoice> MakeBus(const CommonOptions& common, std::string& error,
                                             int& exitCode);
// Ends the run on `bus` with `exitCode`: writes the recording's end, says on stderr when the
// recording is incomplete or the recorded run ended otherwise, and returns the replay's
// difference (the command then ends with kExitReplay); empty when there is none.
std::string ConcludeBus(frontend::BusChoice& bus, int exitCode);

// A JSON string literal for `value`: invalid UTF-8 becomes U+FFFD, control characters are
// escaped, so the output is always valid JSON in valid UTF-8.
std::string JsonString(std::string_view value);

}  // namespace vumo::cli
