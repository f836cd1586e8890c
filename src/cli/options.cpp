#include "cli/options.h"

#include "cli/exit_codes.h"
#include "platform/linux/linux_hid_bus.h"
#include "platform/observed_hid_bus.h"
#include "record/recorder.h"
#include "record/replay_bus.h"
#include "record/report_trace.h"
#include "sim/simulation.h"
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

}  // namespace

std::unique_ptr<BusChoice> BusChoice::Make(const BusSetup& setup, std::string& error,
                                           int& exitCode) {
    std::unique_ptr<BusChoice> choice(new BusChoice);
    if (setup.replay) {
        record::Recording recording;
        if (!record::LoadRecording(*setup.replay, recording, error)) {
            error = "The recording can't be replayed: " + error;
            exitCode = kExitReplay;
            return nullptr;
        }
        choice->replay_ = std::make_unique<record::ReplayHidBus>(
            std::move(recording), setup.replaySpeed, *setup.replay);
        choice->bus_ = choice->replay_.get();
    } else if (setup.simulate.options) {
        sim::SimulateOptions options;
        if (!sim::ParseSimulateOptions(*setup.simulate.options, options, error)) {
            exitCode = kExitUsage;
            return nullptr;
        }
        choice->simulation_ = std::make_unique<sim::Simulation>(options);
        choice->bus_ = &choice->simulation_->bus();
    } else {
        choice->ownBus_ = platform::makeLinuxHidBus();
        if (!choice->ownBus_) {
            error = "The system's HID devices can't be listed: udev is not available.";
            exitCode = kExitFailure;
            return nullptr;
        }
        choice->bus_ = choice->ownBus_.get();
    }

    std::vector<platform::BusObserver*> observers;
    if (setup.traceReports) {
        choice->trace_ = std::make_unique<record::ReportTrace>(stderr);
        observers.push_back(choice->trace_.get());
    }
    if (setup.record) {
        record::Header header;
        header.program = kFileVersion;
        header.argv = CommandLine();
        choice->recorder_ = record::Recorder::Create(*setup.record, header, error);
        if (!choice->recorder_) {
            exitCode = kExitFailure;
            return nullptr;
        }
        observers.push_back(choice->recorder_.get());
    }
    // Without observers the bus is used as it is, at no cost.
    if (!observers.empty()) {
        choice->observed_ = std::make_unique<platform::ObservedHidBus>(*choice->bus_, observers);
        choice->bus_ = choice->observed_.get();
    }
    return choice;
}

std::unique_ptr<BusChoice> BusChoice::Make(const SimulateFlag& flag, std::string& error) {
    BusSetup setup;
    setup.simulate = flag;
    int exitCode = kExitOk;
    return Make(setup, error, exitCode);
}

BusChoice::~BusChoice() = default;

void BusChoice::NoteImage(const std::string& sha256, std::uint64_t size) {
    if (observed_) observed_->noteImage(sha256, size);
    if (replay_) replay_->noteImage(sha256, size);
}

int BusChoice::replayStopFd() const { return replay_ ? replay_->divergenceFd() : -1; }

void BusChoice::Conclude(int exitCode, std::string& replayError) {
    replayError.clear();
    if (concluded_) return;
    concluded_ = true;
    if (replay_) {
        replayError = replay_->conclude();
        const auto recorded = replay_->recordedExit();
        if (replayError.empty() && recorded && *recorded != exitCode) {
            std::fprintf(stderr,
                         "vumo-dfu: note: the recorded run ended with exit status %d, this "
                         "one with %d.\n",
                         *recorded, exitCode);
        }
    }
    if (observed_) observed_->noteEnd(replayError.empty() ? exitCode : kExitReplay);
    if (recorder_ && !recorder_->error().empty())
        std::fprintf(stderr, "vumo-dfu: %s\n", recorder_->error().c_str());
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
