#pragma once
// What the parts of the update procedure share inside update/: its retry intervals and the texts
// more than one of them says. Not for front ends.

#include "hid/hid_device.h"

#include <chrono>
#include <string>

namespace vumo::update::detail {

using namespace std::chrono_literals;

inline constexpr auto kReopenRetry = 200ms;
inline constexpr auto kReopenRetryFast = 20ms;
inline constexpr auto kReadyProbe = 250ms;

inline std::string DidNotReturnMessage(std::chrono::milliseconds limit) {
    return "The device did not come back in update mode within " +
           std::to_string(limit.count() / 1000) +
           " seconds. Unplug it, plug it in again and run the update once more; a device that "
           "comes back in update mode can be updated directly.";
}

inline std::string DescribeIdentity(const hid::DeviceIdentity& id) {
    if (!id.serial.empty() && !id.port.empty()) return id.serial + " on port " + id.port;
    if (!id.serial.empty()) return id.serial;
    if (!id.port.empty()) return "the device on port " + id.port;
    return "a device without a serial number";
}

inline constexpr const char* kCompletionText = "Firmware uploaded.\r\nNow Rebooting.";
inline constexpr const char* kDidNotBoot =
    "uploaded, but the device did not come back in application mode";

}  // namespace vumo::update::detail
