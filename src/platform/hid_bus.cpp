#include "platform/hid_bus.h"

namespace vumo::platform {

const char* describe(OpenStatus status) {
    switch (status) {
        case OpenStatus::ok: return "opened";
        case OpenStatus::gone: return "the device is no longer present";
        case OpenStatus::permissionDenied:
            return "permission denied (install the udev rule, run 'udevadm control --reload' "
                   "and replug the device)";
        case OpenStatus::busy: return "held by another program";
        case OpenStatus::failed: return "the device could not be opened";
    }
    return "unknown";
}

}  // namespace vumo::platform
