#pragma once
// Pure helpers of the hidraw back end: the text that sysfs and udev give about a hidraw node
// turned into what the bus reports, and errno values turned into open results. No OS calls
// here, so tests can feed them text recorded from real devices.

#include "platform/hid_bus.h"
#include "platform/hidraw_text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::platform::hidraw {

// The HID_ID property of a hid device, "bus:vendor:product" in hex, e.g.
// "0003:00001209:00000002". Empty when the text is not of that form or a value doesn't fit
// 16 bits.
struct HidId {
    std::uint16_t bus = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};
std::optional<HidId> parseHidId(std::string_view text);

// What the walk gathers about one hidraw node before it is turned into an interface entry.
struct NodeFacts {
    std::string devnode;      // /dev/hidrawN
    std::string hidUevent;    // uevent text of the parent hid device
    // The USB device the interface belongs to, if any (absent for uhid and Bluetooth devices),
    // with its string attributes; an attribute the device doesn't supply is absent.
    bool hasUsbDevice = false;
    std::optional<std::string> usbManufacturer;
    std::optional<std::string> usbProduct;
    std::optional<std::string> usbSerial;
    std::string usbPort;  // the USB device's name, its bus-port path ("1-1.2")
};

// The interface entry for a node; empty when the hid device's IDs can't be read (such a node
// can't match any device we look for). Strings come from the USB device when there is one;
// without one, the product is HID_NAME and the serial HID_UNIQ, and there is no manufacturer.
std::optional<HidInterfaceInfo> describeNode(const NodeFacts& facts);

// Orders entries by hidraw number, numerically (hidraw10 after hidraw9); entries whose path
// carries no number come last, by path.
void sortByNodeNumber(std::vector<HidInterfaceInfo>& interfaces);

// A device string as the rest of the program wants it: valid UTF-8 (each maximal bad
// subpart becomes U+FFFD), ending at the first NUL, without the line end that sysfs adds.
std::string cleanDeviceString(std::string_view raw);

// The open result for an errno from open, flock or a descriptor ioctl.
OpenStatus openStatusFromErrno(int error);

}  // namespace vumo::platform::hidraw
