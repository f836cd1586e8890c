#pragma once
// The Windows back end of the HID bus: SetupDi enumeration on the HID class, hid.dll for the
// device's strings and report lengths, CreateFileW with overlapped reads, and arrivals and
// removals from device notifications on a message-only window.

#include "platform/hid_bus.h"

#include <memory>

namespace vumo::platform {

// Null when the system's HID services can't be reached.
std::unique_ptr<HidBus> makeWindowsHidBus();

}  // namespace vumo::platform
