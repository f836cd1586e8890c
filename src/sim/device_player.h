#pragma once
// The device's side of a recording, played onto a device port: vumo-dfu-sim --replay plays it
// onto /dev/uhid, so that any program on the machine meets the recorded device through the
// real kernel. It stands beside the emulator: both are written against platform::DevicePort.
//
// The rules are the replayer's (replayer.h), seen from the device:
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
//    player plugs a new one every time, and the port gives it whatever name it gives (a real
//    kernel: the next free /dev/hidrawN). So the n-th device of the recording is the n-th made
//    here, whatever either is called; what the host writes to it is matched under the
//    recorded name, and a write to an appearance that has been unplugged since is dropped.
//
// What a real kernel can't be made to repeat, and is therefore not played:
//
//  - the host's own events: its enumerations, probes, opens and closes, and their results
//    (a recorded "busy" or "permission denied" was the host's machine, not the device), and
//    reads that were cancelled. The kernel answers these itself from the devices made here.
//  - a read that failed for another reason than the device leaving (the recorded machine's I/O
//    error); it is noted and skipped.
//  - the device's manufacturer string: uhid sets none. (Its port it does keep: the physical path.)
//
// Each device is described as the recording lists it (IDs, product name, serial, port) with
// the report lengths of its latest successful probe (of another device with the same IDs when
// it was never probed).

#include "platform/device_port.h"
#include "recording/recording.h"
#include "recording/replayer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>

namespace vumo::sim {

class DevicePlayer final : recording::ReplayStage {
public:
    // `speed` divides the recorded delays; 0 plays everything as soon as it may come. `file`
    // names the recording in messages. `note` gets one line for each thing worth telling (a
    // device made, with both of its names; a skipped event; the difference; the end of the
    // recording), from any thread. The port must outlive the player.
    DevicePlayer(recording::Recording recording, double speed, std::string file,
                 platform::DevicePort& port, std::function<void(const std::string&)> note = {});
    // Lets go of the host's writes (nothing reaches the player once it returns), stops playing,
    // joins the player's thread, then unplugs whatever is still there.
    ~DevicePlayer() override;
    DevicePlayer(const DevicePlayer&) = delete;
    DevicePlayer& operator=(const DevicePlayer&) = delete;

    // Plugs the devices present when the recording began and starts playing. False when one of
    // them could not be made; nothing is played then.
    bool start();

    // The host wrote `report` (byte 0 the report ID) to the device recorded as `recordedPath`.
    // A write to a device that has left since is dropped.
    void written(const std::string& recordedPath, std::span<const std::uint8_t> report);

    // The same from one appearance's sink: dropped when that appearance has been unplugged.
    void written(const std::string& recordedPath, std::uint64_t appearance,
                 std::span<const std::uint8_t> report);

    // The port's name for the device recorded as `recordedPath`; empty while it is not there.
    std::string nodeOf(const std::string& recordedPath) const;

    // The first difference, in words ("replay stopped: event 9 (line 10 of F) differs: ...");
    // empty while none.
    std::string divergence() const { return replay_.divergence(); }
    // Waits until the replay stops at a difference or every event has been played, at most
    // until `deadline`; true when one of them happened.
    bool waitStopped(std::chrono::steady_clock::time_point deadline) const {
        return replay_.waitStopped(deadline);
    }
    // Every event of the recording has been played (or passed, for the host's own).
    bool finished() const { return replay_.finished(); }
    // When the host is done: the difference found, or, when the recording had the host write
    // more, that. Empty when the host wrote everything recorded.
    std::string conclude() { return replay_.conclude(); }

    // How often the recording has the host write, and the recorded run's exit status if the
    // recording has its end.
    std::size_t recordedWrites() const { return replay_.recordedWrites(); }
    std::optional<int> recordedExit() const { return replay_.recordedExit(); }
    // For tests: the entries its lookups into the recording have visited (RecordingIndex).
    std::uint64_t lookupSteps() const { return replay_.lookupSteps(); }

    struct Link;

private:
    void pass(std::size_t i) override;
    void play(std::size_t i) override;
    bool Plug(const platform::HidInterfaceInfo& info);
    void Unplug(const std::string& path);
    bool Present(const std::string& path) const;
    void Note(const std::string& line);

    platform::DevicePort& port_;
    const std::function<void(const std::string&)> note_;
    // Shared with the devices' sinks, which the port may still call after the player has gone.
    const std::shared_ptr<Link> link_;

    // Guarded by the replayer's lock.
    struct Device {
        std::string node;  // the port's name; empty while attach() has not returned
        std::uint64_t appearance = 0;
    };
    bool started_ = false;
    std::map<std::string, Device> present_;  // by recorded path: the devices plugged now
    std::unordered_set<std::string> seen_;   // every recorded path that has been plugged
    std::uint64_t appearances_ = 0;

    // Last, so that it goes first: its thread calls the members above.
    recording::Replayer replay_;
};

}  // namespace vumo::sim
