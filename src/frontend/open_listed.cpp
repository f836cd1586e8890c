#include "frontend/open_listed.h"

namespace vumo::frontend {

std::uint8_t OpenListed(hid::HidDevice& object, const hid::DeviceListEntry& listed,
                        messages::Cause& cause) {
    if (object.isOpen()) return hid::kOpenAlreadyOpen;
    // By path and serial in one step: the line's place in the object's list may have changed
    // since it was shown, and the node may since have been given to another device.
    const std::uint8_t opened = object.OpenIdentity(listed.path, listed.serial, listed.port);
    if (opened == hid::kOpenOk || opened == hid::kOpenAlreadyOpen) return opened;
    if (opened == hid::kOpenFailed) {
        // Only a failed open has a reason from the platform.
        cause = messages::OpenCause(object.lastOpenStatus(), listed.path);
        if (cause.empty() && !object.listenerStarted()) cause.text = object.startError();
        return hid::kOpenFailed;
    }
    // Gone, or another device in its place: to the user, the listed device can't be opened.
    cause = messages::OpenCause(platform::OpenStatus::gone, listed.path);
    return hid::kOpenFailed;
}

}  // namespace vumo::frontend
