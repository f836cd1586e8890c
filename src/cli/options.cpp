#include "cli/options.h"

#include "cli/exit_codes.h"
#include "cli/output.h"
#include "text/json.h"
#include "vumo/build_config.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace vumo::cli {

namespace {

// A flag that may carry a value ("--simulate=dfu") stands in CLI11's help as "--simulate{ }";
// show it as users type it.
class HelpFormatter final : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        for (std::size_t at; (at = name.find(kFlagDefault)) != std::string::npos;)
            name.erase(at, kFlagDefault.size());
        return name;
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        // "[=OPTIONS]" belongs to the name without a blank, as it is typed.
        if (option->get_option_text().starts_with("[=")) return option->get_option_text();
        return CLI::Formatter::make_option_opts(option);
    }

    static constexpr std::string_view kFlagDefault = "{ }";
};

// What CLI11 hands over for a bare --simulate: the flag's default, " ".
constexpr std::string_view kBareFlag = " ";

}  // namespace

const char* const kCommonOptionsFooter =
    "Options of every command, accepted before or after it (see vumo-dfu --help):\n"
    "  --simulate[=OPTIONS]        work on simulated devices instead of the machine's\n"
    "  -v,--verbose                print the steps with times; -vv also every report\n"
    "  --record FILE               write the whole conversation at the HID bus to FILE (it\n"
    "                              holds the devices' names and serial numbers)\n"
    "  --replay FILE               play the device's side of a recording instead of devices\n"
    "  --replay-speed X            with --replay: X times the recorded pace (0: no delays)\n";

void AddSimulateOption(CLI::App& command, SimulateFlag& flag) {
    command.formatter(std::make_shared<HelpFormatter>());
    command.add_flag("--simulate{ }")
        ->description("Work on simulated devices instead of the machine's (OPTIONS below)")
        ->each([&flag](const std::string& value) {
            flag.options = value == kBareFlag ? std::string() : value;
        })
        ->option_text("[=OPTIONS]");
}

void AddCommonOptions(CLI::App& app, CommonOptions& common) {
    BusSetup& setup = common.bus;
    AddSimulateOption(app, setup.simulate);
    auto* simulate = app.get_option("--simulate");
    auto* replay = app.add_option(
        "--replay", setup.replay,
        "Play the device's side of a recording made with --record instead of using this "
        "machine's devices; stops at the first report that differs from the recording");
    replay->type_name("FILE")->excludes(simulate);
    app.add_option("--replay-speed", setup.replaySpeed,
                   "With --replay: how much faster than recorded the device answers (0: at once)")
        ->type_name("X")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay);
    app.add_option("--record", setup.record,
                   "Write everything sent and received over the HID bus to FILE (JSON Lines), "
                   "to send with a problem report. The file holds the devices' names and serial "
                   "numbers")
        ->type_name("FILE");
    // -vv does the same; the flag stays for scripts.
    app.add_flag("--trace-reports", setup.traceReports,
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

std::unique_ptr<BusChoice> BusChoice::Make(const BusSetup& setup, std::string& error,
                                           int& exitCode) {
    frontend::BusOptions options;
    options.simulate = setup.simulate.options;
    options.record = setup.record;
    options.replay = setup.replay;
    options.replaySpeed = setup.replaySpeed;
    options.traceReports = setup.traceReports;
    options.argv = CommandLine();
    frontend::BusFailure failure = frontend::BusFailure::none;
    auto bus = frontend::BusChoice::Make(options, error, failure);
    if (!bus) {
        exitCode = ExitCodeFor(failure);
        return nullptr;
    }
    return std::unique_ptr<BusChoice>(new BusChoice(std::move(bus)));
}

std::unique_ptr<BusChoice> BusChoice::Make(const SimulateFlag& flag, std::string& error) {
    BusSetup setup;
    setup.simulate = flag;
    int exitCode = kExitOk;
    return Make(setup, error, exitCode);
}

BusChoice::~BusChoice() = default;

void BusChoice::Conclude(int exitCode, std::string& replayError) {
    const auto c = bus_->Conclude(exitCode, kExitReplay);
    replayError = c.replayError;
    if (!c.note.empty()) SayError("note: " + c.note);
    if (!c.recordError.empty()) SayError(c.recordError);
}

void AddPacingOption(CLI::App& command, update::Pacing& pacing) {
    command
        .add_option_function<std::string>(
            "--pacing",
            [&pacing](const std::string& name) { pacing = *update::ParsePacing(name); },
            "standard (the default): the fixed pauses around every command and block and the "
            "ten seconds after the device's return, which some loaders rely on. fast: no fixed "
            "pauses; each step follows the device's answer, and after its return the device is "
            "asked READY? every 250 ms. Much quicker; don't use it with a loader that drops "
            "reports which come too soon (its time-outs then say so)")
        ->check(CLI::IsMember({"standard", "fast"}))
        ->type_name("PACING");
}

std::string JsonString(std::string_view value) { return text::JsonString(value); }

}  // namespace vumo::cli
