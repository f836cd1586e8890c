// vumo-dfu list: every matching device, application mode first.

#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/output.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"

#include <cstdio>
#include <memory>
#include <string>

namespace vumo::cli {
namespace {

struct ListOptions {
    bool json = false;
};

int ListOn(const ListOptions& options, frontend::BusChoice& choice) {
    hid::AppDevice app(choice.bus());
    hid::DfuDevice dfu(choice.bus());
    const DeviceListing listing = ListDevices(app, dfu);
    const std::string out = options.json ? ListJson(listing) : ListText(listing);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    // Devices that exist but could not be opened are not in the list; say so, with the fix.
    std::fputs(ListNotes(listing).c_str(), stderr);
    return kExitOk;
}

int RunList(const ListOptions& options, const CommonOptions& common) {
    std::string error;
    int exitCode = kExitOk;
    auto choice = MakeBus(common, error, exitCode);
    if (!choice) {
        SayError(error);
        return exitCode;
    }
    exitCode = ListOn(options, *choice);
    const std::string replayError = ConcludeBus(*choice, exitCode);
    if (replayError.empty()) return exitCode;
    SayError(replayError);
    return kExitReplay;
}

}  // namespace

void AddListCommand(CLI::App& app, const CommonOptions& common, int& exitCode) {
    auto options = std::make_shared<ListOptions>();
    auto* cmd = app.add_subcommand("list", "List the devices in application and update mode.");
    cmd->add_flag("--json", options->json, "Print a JSON array of devices.");
    cmd->footer(kCommonOptionsFooter);
    cmd->callback([options, &common, &exitCode] { exitCode = RunList(*options, common); });
}

}  // namespace vumo::cli
