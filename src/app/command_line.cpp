#include "app/command_line.h"

#include "vumo/build_config.h"

#include <CLI/CLI.hpp>

#include <sstream>

namespace vumo::app {

CommandLine ParseCommandLine(int argc, const char* const* argv, const std::string& programName) {
    CommandLine result;
    CLI::App cli{"The Vumo firmware update window: lists the devices, opens one and uploads a "
                 "firmware file to it.",
                 programName};
    cli.set_version_flag("--version",
                         programName + " " + vumo::kFileVersion + "\n" + vumo::kLicenceNotice);
    std::optional<std::string> simulateText;
    cli.add_option_function<std::string>(
           "--simulate", [&simulateText](const std::string& value) { simulateText = value; },
           sim::kSimulateHelp)
        ->expected(0, 1)
        ->default_str("")
        ->type_name("[=OPTIONS]");
    auto* replay = cli.add_option(
        "--replay", result.bus.replay,
        "Play the device's side of a recording made with --record instead of using this "
        "machine's devices");
    replay->type_name("FILE")->excludes(cli.get_option("--simulate"));
    cli.add_option("--replay-speed", result.bus.replaySpeed,
                   "With --replay: how much faster than recorded the device answers (0: at once)")
        ->type_name("X")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay);
    cli.add_option("--record", result.bus.record,
                   "Write everything sent and received over the HID bus to FILE (JSON Lines), "
                   "to send with a problem report. The file holds the devices' names and serial "
                   "numbers")
        ->type_name("FILE");
    cli.add_option("--pacing", result.pacing,
                   "standard (the default): the fixed pauses around every command and block "
                   "and the ten seconds after the device's return, which some loaders rely on; "
                   "fast: no fixed pauses, each step follows the device's answer (not for a "
                   "loader that drops reports which come too soon)")
        ->type_name("standard|fast")
        ->check(CLI::IsMember({"standard", "fast"}));
    cli.add_flag("--station", result.station,
                 "Open the station window: flash one file onto every device that is plugged in");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // --help or --version: CLI11 writes the text through its exit routine.
        std::ostringstream out, err;
        cli.exit(e, out, err);
        result.action = CommandLine::Action::print;
        result.exitCode = kExitOk;
        result.output = out.str() + err.str();
        return result;
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        cli.exit(e, out, err);
        result.action = CommandLine::Action::fail;
        result.exitCode = kExitUsage;
        result.output = err.str() + out.str();
        return result;
    }

    if (simulateText) {
        sim::SimulateOptions options;
        std::string error;
        if (!sim::ParseSimulateOptions(*simulateText, options, error)) {
            result.action = CommandLine::Action::fail;
            result.exitCode = kExitUsage;
            result.output = programName + ": " + error + "\n";
            return result;
        }
        result.simulate = options;
        result.bus.simulate = *simulateText;
    }
    for (int i = 0; i < argc; ++i) result.bus.argv.emplace_back(argv[i]);
    return result;
}

}  // namespace vumo::app
