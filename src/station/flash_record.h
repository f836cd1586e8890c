#pragma once
// One line of the flash log for one device's update, the same for `update`, the station and
// the station window:
// what the update ended with, beside the facts of the image that was sent.

#include "station/flash_log.h"
#include "update/update_events.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vumo::image {
struct PreparedImage;
}

namespace vumo::station {

struct FlashStart {
    std::chrono::system_clock::time_point time;  // when the device was taken
    double seconds = 0;                          // from then to its end
    std::uint8_t mode = 0;                       // kModeApplication or kModeUpdate
};

FlashRecord FlashRecordOf(const image::PreparedImage& image, const FlashStart& start,
                          const update::UpdateResult& result);

struct FinishedDevice;
// The same for a device the station finished.
FlashRecord FlashRecordOf(const image::PreparedImage& image, const FinishedDevice& finished);

}  // namespace vumo::station
