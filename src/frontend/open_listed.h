#pragma once
// What the window and the command line share in opening the device a user chose from a list.

#include "hid/hid_device.h"
#include "messages/causes.h"

#include <cstdint>

namespace vumo::frontend {

// Opens the device `listed` names, and only that one. Its place in the object's list may have
// changed since it was listed (another enumeration), so it is looked up again by path and
// serial, and what was opened is checked to be it. On failure returns the Open result (or
// kOpenFailed when the device is no longer listed) and fills `cause`.
std::uint8_t OpenListed(hid::HidDevice& object, const hid::DeviceListEntry& listed,
                        messages::Cause& cause);

}  // namespace vumo::frontend
