// Placeholder until the Windows back end lands: the build links and every front end says that
// the system's HID devices can't be listed; --simulate and --replay work as everywhere.
#include "platform/windows/windows_hid_bus.h"

namespace vumo::platform {

std::unique_ptr<HidBus> makeWindowsHidBus() { return nullptr; }

}  // namespace vumo::platform
