#pragma once
// --replay FILE: a HID bus that plays the device's side of a recording, so that a run recorded
// on someone's bench happens again here, byte for byte, without the device. It stands in for
// the machine's bus as sim/sim_hid_bus.h does, and plays through the replayer
// (replayer.h), as the player of the device's side (device_player.h) does.
//
// What is matched, and what is only served:
//
//  - Reports the program writes are matched strictly and in order: each one must equal the next
//    recorded write, to the same path. The first that differs stops the replay (see
//    divergence()); from then on writes fail and nothing more comes from the "device".
//  - What the device does by itself is played back at its recorded time: input reports, the
//    end of a reader (gone, failed), arrivals and removals. Each comes the recorded delay after
//    the write it followed (divided by the speed; speed 0 plays at once), never before that
//    write has been made again: a reply never overtakes the command that asked for it. If the
//    program writes its next report before some of them came due (it no longer waits), they
//    are delivered at once, in order, before the write is matched.
//  - Enumerations, probes and opens depend on how often the program asks, which depends on
//    its own timing (a retry loop, an arrival handled on another thread). They are not
//    matched; they are answered from the recorded state of the bus at the current point of the
//    replay: the devices of the latest recorded enumeration, changed by the arrivals and
//    removals played since, and for each path the latest recorded probe and open result.
//    While the program itself holds a writer on a path, probes and second writers get `busy`,
//    as on the real bus; recorded `busy` answers caused by the recorded program's own writer
//    are not taken for the device's.
//  - Reads that timed out are not in a recording, so the program's own waits run as they do;
//    the host's handles, closes and cancels are not matched either.
//
// Several monitors are told apart by the order they were made in, as recorded.

#include "platform/hid_bus.h"
#include "recording/recording.h"

#include <memory>
#include <optional>
#include <string>

namespace vumo::sim {

class ReplayHidBus final : public platform::HidBus {
public:
    // `speed` divides the recorded delays; 0 delivers everything as soon as it may come.
    // `file` only names the recording in messages.
    ReplayHidBus(recording::Recording recording, double speed, std::string file);
    // Joins the thread that plays the device's events. Handles given out must be gone first.
    ~ReplayHidBus() override;
    ReplayHidBus(const ReplayHidBus&) = delete;
    ReplayHidBus& operator=(const ReplayHidBus&) = delete;

    std::vector<platform::HidInterfaceInfo> enumerate() override;
    platform::ProbeResult probe(const std::string& path) override;
    platform::Opened<platform::HidWriter> openWriter(const std::string& path) override;
    platform::Opened<platform::HidReader> openReader(const std::string& path) override;
    std::unique_ptr<platform::HotplugMonitor> monitor() override;

    // The first difference between this run and the recording, in words; empty while none.
    std::string divergence() const;
    // Set when the replay stops at a difference.
    base::Waitable divergenceEvent() const;
    // The firmware file of this run; a difference then says whether it is the recorded one.
    void noteImage(const std::string& sha256, std::uint64_t size);
    // At the end of the run: the difference found, or, when the recording expected the program
    // to write more, that. Empty when the run matched the recording to its end.
    std::string conclude();
    // The exit status of the recorded run, when the recording has its end.
    std::optional<int> recordedExit() const;
    // For tests: the entries its lookups into the recording have visited (RecordingIndex).
    std::uint64_t lookupSteps() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace vumo::sim
