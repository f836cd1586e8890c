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
    }
    return result;
}

}  // namespace vumo::app
