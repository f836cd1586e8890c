#pragma once
// The Linux back end of the HID bus: libudev walks and watches the hidraw subsystem, and
// /dev/hidrawN carries the reports.

#include "platform/hid_bus.h"

#include <memory>

namespace vumo::platform {

std::unique_ptr<HidBus> makeLinuxHidBus();

}  // namespace vumo::platform
