// vumo-dfu: lists, checks and updates devices from the command line.

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "sim/simulate_options.h"
#include "vumo/build_config.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

// CLI11's set-up throws only on a programming error (a name given twice), which any run shows;
// its parse errors are caught below.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    using namespace vumo::cli;
    CLI::App app{"Firmware update utility for Vumo USB HID devices.", "vumo-dfu"};
    app.set_version_flag("--version", std::string("vumo-dfu ") + vumo::kFileVersion);
    app.require_subcommand(1);
    app.footer(std::string("Options of list and update:\n") +
               vumo::sim::kSimulateHelp + "\n" + kExitCodeHelp);

    int exitCode = kExitOk;
    AddListCommand(app, exitCode);
    AddCheckCommand(app, exitCode);
    AddUpdateCommand(app, exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return exitCode;
}
