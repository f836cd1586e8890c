#include "cli/options.h"

#include "cli/exit_codes.h"
#include "cli/output.h"
#include "frontend/command_options.h"
#include "text/json.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace vumo::cli {

const char* const kCommonOptionsFooter =
    "Options of every command, accepted before or after it (see vumo-dfu --help):\n"
    "  --simulate[=OPTIONS]        work on simulated devices instead of the machine's\n"
    "  -v,--verbose                print the steps with times; -vv also every report\n"
    "  --record FILE               write the whole conversation at the HID bus to FILE (it\n"
    "                              holds the devices' names and serial numbers)\n"
    "  --replay FILE               play the device's side of a recording instead of devices\n"
    "  --replay-speed X            with --replay: X times the recorded pace (0: no delays)\n";

void AddCommonOptions(CLI::App& app, CommonOptions& common) {
    frontend::AddBusOptions(app, common.bus, frontend::OptionsFor::commandLine);
    // -vv does the same; the flag stays for scripts.
    app.add_flag("--trace-reports", common.bus.traceReports,
                 "Print every report written and read on stderr")
        ->group("");
    app.add_flag("-v,--verbose", common.verbosity,
                 "Print each step with its time and the checksum tool's run; -vv also every "
                 "report written and read");
    // Commands created after this pass the options above up to the program.
    app.fallthrough();
}

namespace {

// The command line as the kernel has it, for the recording's header.
std::vector<std::string> CommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> argv;
    std::size_t from = 0;
    while (from < all.size()) {
        const std::size_t end = all.find('\0', from);
        argv.push_back(all.substr(from, end - from));
        if (end == std::string::npos) break;
        from = end + 1;
    }
    return argv;
}

int ExitCodeFor(frontend::BusFailure failure) {
    switch (failure) {
        case frontend::BusFailure::none: return kExitOk;
        case frontend::BusFailure::usage: return kExitUsage;
        case frontend::BusFailure::replay: return kExitReplay;
        case frontend::BusFailure::recording:
        case frontend::BusFailure::system: return kExitFailure;
    }
    return kExitFailure;
}

}  // namespace

frontend::BusOptions CommonOptions::Bus() const {
    frontend::BusOptions options = bus;
    options.traceReports = options.traceReports || verbosity >= 2;
    options.argv = CommandLine();
    return options;
}

std::unique_ptr<frontend::BusChoice> MakeBus(const CommonOptions& common, std::string& error,
                                             int& exitCode) {
    frontend::BusFailure failure = frontend::BusFailure::none;
    auto bus = frontend::BusChoice::Make(common.Bus(), error, failure);
    if (!bus) exitCode = ExitCodeFor(failure);
    return bus;
}

std::string ConcludeBus(frontend::BusChoice& bus, int exitCode) {
    const auto c = bus.Conclude(exitCode, kExitReplay);
    if (!c.note.empty()) SayError("note: " + c.note);
    if (!c.recordError.empty()) SayError(c.recordError);
    return c.replayError;
}

std::string JsonString(std::string_view value) { return text::JsonString(value); }

}  // namespace vumo::cli
