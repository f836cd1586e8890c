// vumo-dfu: lists, checks and updates devices from the command line.

#include "base/program.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "sim/simulate_options.h"
#include "vumo/build_config.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

int Run(int argc, char** argv) {
    using namespace vumo::cli;
    CLI::App app{"Firmware update utility for Vumo USB HID devices.", "vumo-dfu"};
    app.set_version_flag("--version", std::string("vumo-dfu ") + vumo::kFileVersion + "\n" +
                                          vumo::kLicenceNotice);
    app.require_subcommand(1);
    // The same options on every system: CLI11 would take "/x" for an option on Windows, and
    // so an absolute path written with slashes for an unknown one. Set before the commands
    // are added: they inherit it.
    app.allow_windows_style_options(false);
    app.footer(std::string(vumo::sim::kSimulateHelp) + "\n" +
               kExitCodeHelp);

    int exitCode = kExitOk;
    CommonOptions common;
    AddCommonOptions(app, common);
    AddListCommand(app, common, exitCode);
    AddCheckCommand(app, common, exitCode);
    AddUpdateCommand(app, common, exitCode);
    AddStationCommand(app, common, exitCode);

    try {
        // In UTF-8 on every system (Windows gives them in UTF-16): file names keep every
        // character. CLI11 takes them last first.
        std::vector<std::string> args = vumo::base::ProgramArguments(argc, argv);
        if (!args.empty()) args.erase(args.begin());
        std::reverse(args.begin(), args.end());
        app.parse(args);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing the program throws may end it without a word (std::terminate): say what failed.
    vumo::base::PrepareConsole();
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vumo-dfu: an internal error stopped the program: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vumo-dfu: an internal error stopped the program.\n");
    }
    return vumo::cli::kExitFailure;
}
