#include "app/command_line.h"

#include "frontend/command_options.h"
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
    frontend::AddBusOptions(cli, result.bus, frontend::OptionsFor::window);
    frontend::AddPacingOption(cli, result.pacing, frontend::OptionsFor::window);
    cli.add_flag("--station", result.station,
                 "Open the station window: flash one file onto every device that is plugged in");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 writes the text through its exit routine: --help and --version (a
        // CLI::Success) for stdout, a mistake for stderr.
        std::ostringstream out, err;
        cli.exit(e, out, err);
        const bool printed = dynamic_cast<const CLI::Success*>(&e) != nullptr;
        result.action = printed ? CommandLine::Action::print : CommandLine::Action::fail;
        result.exitCode = printed ? kExitOk : kExitUsage;
        result.output = printed ? out.str() + err.str() : err.str() + out.str();
        return result;
    }

    // Said on the terminal, before any window exists.
    if (result.bus.simulate) {
        sim::SimulateOptions options;
        std::string error;
        if (!sim::ParseSimulateOptions(*result.bus.simulate, options, error)) {
            result.action = CommandLine::Action::fail;
            result.exitCode = kExitUsage;
            result.output = programName + ": " + error + "\n";
            return result;
        }
        result.simulate = options;
    }
    for (int i = 0; i < argc; ++i) result.bus.argv.emplace_back(argv[i]);
    return result;
}

}  // namespace vumo::app
