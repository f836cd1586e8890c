#pragma once
// Measurements taken inside this process on the simulated bus: a whole update with the fixed
// pauses counted instead of made (the pacing floor, and our own share of every turn of the
// conversation), and the wake-ups of a device object held open on a silent device.

#include "timed_bus.h"
#include "update/pacer.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vumo::bench {

struct CountedUpdate {
    bool ok = false;
    std::string error;
    std::chrono::milliseconds pauses{0};  // sum of the fixed pauses the procedure asked for
    std::chrono::nanoseconds elapsed{0};  // second stage to the end of the update
    std::uint32_t blocks = 0;
};

// One whole update of `image` (location code 1, so the restart command follows) with a
// CountingPacer, on a simulated bus with one emulated device that starts in application mode
// (the mode switch and the device's return included; it returns at once) or in update mode.
// The device answers each command after `replyDelay` (0: at once, on the writing thread).
// `turns` receives the timing of every turn when given. Under fast pacing the procedure asks
// for no pause, so `pauses` stays 0 and `elapsed` is the conversation at the device's pace.
CountedUpdate RunCountedUpdate(bool fromApplicationMode, std::span<const std::uint8_t> image,
                               TurnTimings* turns,
                               std::chrono::milliseconds replyDelay = std::chrono::milliseconds(0),
                               update::Pacing pacing = update::Pacing::standard);

struct SilentDeviceWakeups {
    bool ok = false;
    std::string error;
    double perSecond = 0;  // every thread but the measuring one
    int threads = 0;
};

// A DfuDevice open on a silent simulated update-mode device, left alone for `window`.
SilentDeviceWakeups MeasureSilentOpenDevice(std::chrono::milliseconds window);

}  // namespace vumo::bench
