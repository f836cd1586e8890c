#pragma once
// Arrivals and removals of HID interfaces from the system's device notifications: a
// message-only window, registered with RegisterDeviceNotificationW for the HID interface class,
// run by a thread of its own from the monitor's construction to its destruction.

#include "platform/hid_bus.h"

#include <memory>

namespace vumo::platform::windows {

// Null when the window, its registration or its thread can't be had within the start limit.
std::unique_ptr<HotplugMonitor> MakeDeviceMonitor();

}  // namespace vumo::platform::windows
