#pragma once
// The device's side of a recording, played onto devices outside this process: vumo-dfu-sim
// --replay makes them through /dev/uhid, so that any program on the machine meets the recorded
// device through the real kernel.
//
// The rules are those of the in-process replay bus (replay_bus.h), seen from the device:
//
//  - Every report the host writes must equal the next recorded write, to the device recorded
//    under that path. The first that differs stops the replay: it is described once, with the
//    event number and the expected and actual bytes, nothing more is played, and the devices
//    stay as they are so the host runs into its own time-out instead of a vanished device.
//  - What the device did by itself follows the write it came after, at its recorded delay
//    (divided by the speed; 0 plays at once): input reports, removals ("read gone" or
//    "removal", whichever comes first), arrivals. Never before that write has been made again;
//    when the host writes again before they came due, they are played at once, in order.
//  - Devices are told apart by recorded path, and each appearance of a path (present in the
//    first enumeration, an arrival, or first listed by a later enumeration) is one device: the
//    side plugs a new one every time, and the kernel gives it whatever node it gives. So the
//    n-th device of the recording is the n-th made here, whatever either is called.
//
// What a real kernel can't be made to repeat, and is therefore not played:
//
//  - the host's own events: its enumerations, probes, opens and closes, and their results
//    (a recorded "busy" or "permission denied" was the host's machine, not the device), and
//    reads that were cancelled. The kernel answers these itself from the devices made here.
//  - a read that failed for another reason than the device leaving (the recorded machine's I/O
//    error); it is noted and skipped.
//  - the device's manufacturer string: uhid sets none. (Its port it does keep: the physical path.)

#include "platform/hid_bus.h"
#include "record/recording.h"
#include "record/recording_index.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace vumo::record {

// What the device did by itself: input reports, the end of a reader other than its
// cancelling (which was the host's doing), arrivals and removals.
bool IsDeviceEvent(const Event& event);

// Bytes as a difference shows them: spaced hex, a long run of zeros at the end counted instead
// of written out, the length last.
std::string SpacedBytes(std::span<const std::uint8_t> bytes);

// One device as the recording knows it: what the host listed, and the report lengths of its
// latest successful probe (of another device with the same IDs when it was never probed).
struct RecordedDevice {
    platform::HidInterfaceInfo info;  // info.path is the recorded path
    platform::ReportLengths lengths;
};

// Where the player plays: a set of devices outside this object. Called with the player's lock
// held and in the recording's order; none may call back into the player.
class DeviceSide {
public:
    virtual ~DeviceSide() = default;
    // Makes the device; false when it could not be made (the side says why itself).
    virtual bool plug(const RecordedDevice& device) = 0;
    virtual void unplug(const std::string& recordedPath) = 0;
    // One input report, byte 0 the report ID.
    virtual void send(const std::string& recordedPath, std::span<const std::uint8_t> report) = 0;
};

class DevicePlayer {
public:
    // `speed` divides the recorded delays; 0 plays everything as soon as it may come. `file`
    // names the recording in messages. `note` gets one line for each thing worth telling that
    // is not a difference (a skipped event, the end of the recording), from any thread.
    DevicePlayer(Recording recording, double speed, std::string file, DeviceSide& side,
                 std::function<void(const std::string&)> note = {});
    // Stops playing and joins the player's thread. Unplugs nothing: that is the side's.
    ~DevicePlayer();
    DevicePlayer(const DevicePlayer&) = delete;
    DevicePlayer& operator=(const DevicePlayer&) = delete;

    // Plugs the devices present when the recording began and starts playing. False when one of
    // them could not be made; nothing is played then.
    bool start();

    // The host wrote `report` (byte 0 the report ID) to the device recorded as `recordedPath`.
    // A write to a device that has left since is dropped.
    void written(const std::string& recordedPath, std::span<const std::uint8_t> report);

    // The first difference, in words ("replay stopped: event 9 (line 10 of F) differs: ...");
    // empty while none.
    std::string divergence() const;
    // Waits until the replay stops at a difference or every event has been played, at most
    // until `deadline`; true when one of them happened.
    bool waitStopped(std::chrono::steady_clock::time_point deadline) const;
    // Every event of the recording has been played (or passed, for the host's own).
    bool finished() const;
    // When the host is done: the difference found, or, when the recording had the host write
    // more, that. Empty when the host wrote everything recorded.
    std::string conclude();

    // How often the recording has the host write, and the recorded run's exit status if the
    // recording has its end.
    std::size_t recordedWrites() const;
    std::optional<int> recordedExit() const;
    // For tests: the entries its lookups into the recording have visited (RecordingIndex).
    std::uint64_t lookupSteps() const;

private:
    bool IsWrite(std::size_t i) const;
    bool IsDevice(std::size_t i) const;
    void PassHostEvents();
    void Play(std::size_t i);
    bool Plug(const platform::HidInterfaceInfo& info);
    void Unplug(const std::string& path);
    bool Present(const std::string& path) const;
    std::string Where(std::size_t i) const;
    void Diverge(std::string what);
    void Note(const std::string& line);
    void Loop();

    const Recording rec_;
    const RecordingIndex lookup_;  // built once: what arrived, the lengths of a device
    const double speed_;
    const std::string file_;
    DeviceSide& side_;
    const std::function<void(const std::string&)> note_;

    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    bool started_ = false;
    bool stopping_ = false;
    std::size_t next_ = 0;  // the first event not yet played or passed
    std::chrono::steady_clock::time_point anchorReal_;
    std::int64_t anchorMicros_ = 0;
    std::unordered_set<std::string> present_;  // recorded paths of the devices plugged now
    std::unordered_set<std::string> seen_;     // every recorded path that has been plugged
    std::string diverged_;
    bool endNoted_ = false;
    std::thread player_;
};

}  // namespace vumo::record
