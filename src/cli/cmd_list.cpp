// vumo-dfu list: every matching device, application mode first, as the window lists them.

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace vumo::cli {
namespace {

struct ListOptions {
    bool json = false;
    SimulateFlag simulate;
};

struct Listed {
    const char* mode;
    int index;
    hid::DeviceListEntry entry;
};

int RunList(const ListOptions& options) {
    std::string error;
    auto choice = BusChoice::Make(options.simulate, error);
    if (!choice) {
        std::fprintf(stderr, "vumo-dfu: %s\n", error.c_str());
        return options.simulate.options ? kExitUsage : kExitFailure;
    }
    hid::AppDevice app(choice->bus());
    hid::DfuDevice dfu(choice->bus());
    const int appCount = app.EnumerateDevices();
    const int dfuCount = dfu.EnumerateDevices();

    std::vector<Listed> listed;
    listed.reserve(std::size_t{2} * hid::kMaxListedDevices);
    for (int i = 0; i < appCount; ++i) listed.push_back({"application", i, app.entry(i)});
    for (int i = 0; i < dfuCount; ++i) listed.push_back({"update", i, dfu.entry(i)});

    if (options.json) {
        std::string out = "[";
        for (std::size_t i = 0; i < listed.size(); ++i) {
            const auto& l = listed[i];
            out += i ? ",\n " : "\n ";
            out += "{\"mode\": " + JsonString(l.mode) + ", \"index\": " + std::to_string(l.index) +
                   ", \"product\": " + JsonString(l.entry.product) +
                   ", \"serial\": " + JsonString(l.entry.serial) +
                   ", \"path\": " + JsonString(l.entry.path) + "}";
        }
        out += listed.empty() ? "]\n" : "\n]\n";
        std::fputs(out.c_str(), stdout);
    } else if (listed.empty()) {
        std::puts("No device found.");
    } else {
        for (const auto& l : listed) {
            std::printf("%-11s %d  %s: %s  %s\n", l.mode, l.index, l.entry.product.c_str(),
                        l.entry.serial.c_str(), l.entry.path.c_str());
        }
    }

    // Devices that exist but could not be opened are not in the list; say so, with the fix.
    std::map<platform::OpenStatus, int> skipped;
    for (const auto* device : {static_cast<const hid::HidDevice*>(&app),
                               static_cast<const hid::HidDevice*>(&dfu)}) {
        for (const auto& s : device->skipped()) ++skipped[s.why];
    }
    for (const auto& [why, count] : skipped) {
        std::fprintf(stderr, "%d matching device%s not listed: %s.\n", count,
                     count == 1 ? "" : "s", platform::describe(why));
    }
    const int overflow = app.overflowCount() + dfu.overflowCount();
    if (overflow > 0) {
        std::fprintf(stderr,
                     "%d further matching device%s not listed: at most 10 per mode are shown.\n",
                     overflow, overflow == 1 ? "" : "s");
    }
    return kExitOk;
}

}  // namespace

void AddListCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<ListOptions>();
    auto* cmd = app.add_subcommand("list", "List the devices in application and update mode.");
    cmd->add_flag("--json", options->json, "Print a JSON array of devices.");
    AddSimulateOption(*cmd, options->simulate);
    cmd->callback([options, &exitCode] { exitCode = RunList(*options); });
}

}  // namespace vumo::cli
