#include "frontend/command_options.h"

#include "sim/simulate_options.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace vumo::frontend {

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

// What CLI11 hands over for a bare --simulate flag: the flag's default, " ".
constexpr std::string_view kBareFlag = " ";

constexpr const char* kReplayHelp =
    "Play the device's side of a recording made with --record instead of using this "
    "machine's devices";

// The window's help has always been the shorter one; the command line's says more.
struct Wording {
    std::string replay;
    const char* pacing;
    const char* pacingType;
};

Wording WordingFor(OptionsFor who) {
    if (who == OptionsFor::window)
        return {kReplayHelp,
                "standard (the default): the fixed pauses around every command and block and "
                "the ten seconds after the device's return, which some loaders rely on; fast: no "
                "fixed pauses, each step follows the device's answer (not for a loader that "
                "drops reports which come too soon)",
                "standard|fast"};
    return {
        std::string(kReplayHelp) + "; stops at the first report that differs from the recording",
        "standard (the default): the fixed pauses around every command and block and the "
        "ten seconds after the device's return, which some loaders rely on. fast: no fixed "
        "pauses; each step follows the device's answer, and after its return the device is "
        "asked READY? every 250 ms. Much quicker; don't use it with a loader that drops "
        "reports which come too soon (its time-outs then say so)",
        "PACING"};
}

CLI::Option* AddSimulateOption(CLI::App& app, BusOptions& options, OptionsFor who) {
    if (who == OptionsFor::window) {
        return app
            .add_option_function<std::string>(
                "--simulate", [&options](const std::string& value) { options.simulate = value; },
                sim::kSimulateHelp)
            ->expected(0, 1)
            ->default_str("")
            ->type_name("[=OPTIONS]");
    }
    app.formatter(std::make_shared<HelpFormatter>());
    return app.add_flag("--simulate{ }")
        ->description("Work on simulated devices instead of the machine's (OPTIONS below)")
        ->each([&options](const std::string& value) {
            options.simulate = value == kBareFlag ? std::string() : value;
        })
        ->option_text("[=OPTIONS]");
}

}  // namespace

void AddBusOptions(CLI::App& app, BusOptions& options, OptionsFor who) {
    CLI::Option* simulate = AddSimulateOption(app, options, who);
    CLI::Option* replay =
        app.add_option("--replay", options.replay, WordingFor(who).replay)->type_name("FILE");
    replay->excludes(simulate);
    app.add_option("--replay-speed", options.replaySpeed,
                   "With --replay: how much faster than recorded the device answers (0: at once)")
        ->type_name("X")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay);
    app.add_option("--record", options.record,
                   "Write everything sent and received over the HID bus to FILE (JSON Lines), "
                   "to send with a problem report. The file holds the devices' names and serial "
                   "numbers")
        ->type_name("FILE");
}

void AddPacingOption(CLI::App& app, update::Pacing& pacing, OptionsFor who) {
    const Wording wording = WordingFor(who);
    app.add_option_function<std::string>(
           "--pacing", [&pacing](const std::string& name) { pacing = *update::ParsePacing(name); },
           wording.pacing)
        ->check(CLI::IsMember({"standard", "fast"}))
        ->type_name(wording.pacingType);
}

}  // namespace vumo::frontend
