// Placeholder until the hidraw back end lands.
#include "platform/linux/linux_hid_bus.h"

namespace vumo::platform {
std::unique_ptr<HidBus> makeLinuxHidBus() { return nullptr; }
}  // namespace vumo::platform
