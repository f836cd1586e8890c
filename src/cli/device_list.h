#pragma once
// The devices of both modes as `list` shows them, application mode first, each mode from one
// walk of the bus: all of them, not only the ten an object's list holds. Shared by `list` and
// by `update`'s choice of a device.

#include "hid/hid_device.h"
#include "platform/hid_bus.h"

#include <map>
#include <string>
#include <vector>

namespace vumo::cli {

struct ListedDevice {
    const char* mode;  // "application" or "update"
    int index;         // in that mode's list, as --index counts
    hid::DeviceListEntry entry;
};

struct DeviceListing {
    std::vector<ListedDevice> devices;
    // Matching devices left out because they could not be opened, by reason.
    std::map<platform::OpenStatus, int> skipped;
};

// Walks the bus for both objects' devices; their lists are left alone.
DeviceListing ListDevices(hid::HidDevice& app, hid::HidDevice& dfu);

// One line per device for the terminal: mode, index, "product: serial", path. Device strings
// are made terminal-safe.
std::string ListText(const DeviceListing& listing);
// A JSON array of {mode, index, product, serial, path}.
std::string ListJson(const DeviceListing& listing);
// What was left out and why, for stderr; empty when nothing was.
std::string ListNotes(const DeviceListing& listing);

}  // namespace vumo::cli
