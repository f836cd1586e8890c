#pragma once
// A station's flashes held against sleep: stands between the station and the front end's
// observer, begins a device's flash when the station takes it and ends it when it has
// finished, and passes every report on unchanged.

#include "session/flash_inhibitor.h"
#include "station/station.h"

namespace vumo::session {

class StationSleep final : public station::StationObserver {
public:
    // Both must outlive the station that reports here.
    StationSleep(station::StationObserver& next, FlashInhibitor& inhibitor)
        : next_(next), inhibitor_(inhibitor) {}

    void DeviceArrived(const station::StationDevice& device) override;
    void DeviceSkipped(const station::StationDevice& device, const std::string& why) override;
    void PhaseChanged(const station::StationDevice& device, update::Phase phase,
                      std::uint32_t block, std::uint32_t blocks) override;
    void DeviceFinished(const station::FinishedDevice& finished) override;
    void DeviceLeft(const station::StationDevice& device) override;

private:
    station::StationObserver& next_;
    FlashInhibitor& inhibitor_;
};

}  // namespace vumo::session
