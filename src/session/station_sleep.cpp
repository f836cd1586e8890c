#include "session/station_sleep.h"

namespace vumo::session {

void StationSleep::DeviceArrived(const station::StationDevice& device) {
    // Held before the front end hears of it: the update starts right after this report.
    inhibitor_.Begin(device.id, device.serial);
    next().DeviceArrived(device);
}

void StationSleep::DeviceFinished(const station::FinishedDevice& finished) {
    // Let go before the front end tells the end: nothing is held once the outcome is shown.
    inhibitor_.End(finished.device.id);
    next().DeviceFinished(finished);
}

}  // namespace vumo::session
