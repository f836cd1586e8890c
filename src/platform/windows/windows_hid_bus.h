#pragma once
// The Windows back end of the HID bus: SetupDi lists the HID interface class, hid.dll describes
// each interface, CreateFileW with overlapped I/O carries the reports, and device notifications
// on a message-only window report arrivals and removals. It needs no driver: the system's own
// HID class driver serves our devices.

#include "platform/hid_bus.h"

#include <memory>

namespace vumo::platform {

// Never null: SetupDi is asked at each enumerate(), and a failure there gives an empty list.
std::unique_ptr<HidBus> makeWindowsHidBus();

}  // namespace vumo::platform
