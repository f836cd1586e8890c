#pragma once
// A station's flashes held against sleep: stands between the station and the front end's
// observer, begins a device's flash when the station takes it and ends it when it has
// finished, and passes every report on unchanged.

#include "session/flash_inhibitor.h"
#include "station/station.h"

namespace vumo::session {

class StationSleep final : public station::ForwardingStationObserver {
public:
    // Both must outlive the station that reports here.
    StationSleep(station::StationObserver& next, FlashInhibitor& inhibitor)
        : ForwardingStationObserver(next), inhibitor_(inhibitor) {}

    void DeviceArrived(const station::StationDevice& device) override;
    void DeviceFinished(const station::FinishedDevice& finished) override;

private:
    FlashInhibitor& inhibitor_;
};

}  // namespace vumo::session
