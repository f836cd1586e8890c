#include "cli/device_list.h"

#include "cli/options.h"
#include "text/utf8.h"

namespace vumo::cli {

DeviceListing ListDevices(hid::HidDevice& app, hid::HidDevice& dfu) {
    DeviceListing listing;
    const struct {
        hid::HidDevice& object;
        const char* mode;
    } sources[] = {{app, "application"}, {dfu, "update"}};
    for (const auto& source : sources) {
        // A fresh walk, not the object's list: the window keeps at most ten, a bench's hubs
        // hold more, and a script must see every one of them.
        std::vector<hid::SkippedDevice> skipped;
        const auto entries = source.object.Scan(skipped);
        for (std::size_t i = 0; i < entries.size(); ++i)
            listing.devices.push_back({source.mode, static_cast<int>(i), entries[i]});
        for (const auto& s : skipped) ++listing.skipped[s.why];
    }
    return listing;
}

std::string ListText(const DeviceListing& listing) {
    if (listing.devices.empty()) return "No device found.\n";
    std::string out;
    for (const auto& d : listing.devices) {
        char head[32];
        std::snprintf(head, sizeof head, "%-11s %d  ", d.mode, d.index);
        out += head + text::TerminalSafe(d.entry.product) + ": " +
               text::TerminalSafe(d.entry.serial) + "  " + text::TerminalSafe(d.entry.path) +
               "\n";
    }
    return out;
}

std::string ListJson(const DeviceListing& listing) {
    std::string out = "[";
    for (std::size_t i = 0; i < listing.devices.size(); ++i) {
        const auto& d = listing.devices[i];
        out += i ? ",\n " : "\n ";
        out += "{\"mode\": " + JsonString(d.mode) + ", \"index\": " + std::to_string(d.index) +
               ", \"product\": " + JsonString(d.entry.product) +
               ", \"serial\": " + JsonString(d.entry.serial) +
               ", \"path\": " + JsonString(d.entry.path) + "}";
    }
    out += listing.devices.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string ListNotes(const DeviceListing& listing) {
    std::string out;
    for (const auto& [why, count] : listing.skipped) {
        out += std::to_string(count) + " matching device" + (count == 1 ? "" : "s") +
               " not listed: " + platform::describe(why) + ".\n";
    }
    return out;
}

}  // namespace vumo::cli
