#include "session/station_sleep.h"

namespace vumo::session {

void StationSleep::DeviceArrived(const station::StationDevice& device) {
    // Held before the front end hears of it: the update starts right after this report.
    inhibitor_.Begin(device.id, device.serial);
    next_.DeviceArrived(device);
}

void StationSleep::DeviceSkipped(const station::StationDevice& device, const std::string& why) {
    next_.DeviceSkipped(device, why);
}

void StationSleep::PhaseChanged(const station::StationDevice& device, update::Phase phase,
                                std::uint32_t block, std::uint32_t blocks) {
    next_.PhaseChanged(device, phase, block, blocks);
}

void StationSleep::DeviceFinished(const station::FinishedDevice& finished) {
    // Let go before the front end tells the end: nothing is held once the outcome is shown.
    inhibitor_.End(finished.device.id);
    next_.DeviceFinished(finished);
}

void StationSleep::DeviceLeft(const station::StationDevice& device) { next_.DeviceLeft(device); }

}  // namespace vumo::session
