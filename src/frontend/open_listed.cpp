#include "frontend/open_listed.h"

namespace vumo::frontend {

std::uint8_t OpenListed(hid::HidDevice& object, const hid::DeviceListEntry& listed,
                        messages::Cause& cause) {
    if (object.isOpen()) return hid::kOpenAlreadyOpen;
    const auto entries = object.list();
    int index = -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].path == listed.path && entries[i].serial == listed.serial)
            index = static_cast<int>(i);
    }
    if (index < 0) {
        cause = messages::OpenCause(platform::OpenStatus::gone, listed.path);
        return hid::kOpenFailed;
    }
    const std::uint8_t opened = object.Open(index);
    if (opened != hid::kOpenOk) {
        // Only a failed open has a reason from the platform.
        if (opened == hid::kOpenFailed)
            cause = messages::OpenCause(object.lastOpenStatus(), listed.path);
        return opened;
    }
    // Between the look-up and the open another enumeration may have moved a different device
    // to that place.
    if (object.openPath() != listed.path || object.openSerial() != listed.serial) {
        object.Close();
        cause = messages::OpenCause(platform::OpenStatus::gone, listed.path);
        return hid::kOpenFailed;
    }
    return hid::kOpenOk;
}

}  // namespace vumo::frontend
