#pragma once
// The one engine behind both replays of a recording: the in-process bus (replay_bus.h), which
// stands in for the machine's bus, and the player (device_player.h), which plays the device's
// side onto devices outside this process. Both follow the same rules:
//
//  - Every report the program writes must equal the next recorded write, to the same recorded
//    path. The first that differs stops the replay: it is described once ("replay stopped:
//    event 9 (line 10 of F) differs: ..." with the expected and actual bytes), and nothing more
//    is played.
//  - What the device did by itself (IsDeviceEvent) comes the recorded delay after the write it
//    followed, divided by the speed (0 plays at once), never before that write has been made
//    again; when the program writes again before some of it came due, it comes at once, in
//    order, before the write is matched.
//  - The program's own events (enumerations, probes, opens, closes, cancelled reads) are passed
//    as the frontier reaches them; what they mean is the stage's business.
//
// The stage is called on the replayer's thread or on the writing thread, always with the
// replayer's lock held and in the recording's order. The lock guards the stage's own state too.

#include "base/wake_event.h"
#include "recording/recording.h"
#include "recording/recording_index.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace vumo::recording {

// What the device did by itself: input reports, the end of a reader other than its
// cancelling (which was the host's doing), arrivals and removals.
bool IsDeviceEvent(const Event& event);

// Bytes as a difference shows them: spaced hex, a long run of zeros at the end counted instead
// of written out, the length last.
std::string SpacedBytes(std::span<const std::uint8_t> bytes);

// Where a replay's events happen. Called with the replayer's lock held; none may call back into
// the replayer's public functions that take the lock.
class ReplayStage {
public:
    virtual ~ReplayStage() = default;
    // One of the program's own events, reached at the frontier.
    virtual void pass(std::size_t index) = 0;
    // One of the device's events, come due (or overtaken by a write).
    virtual void play(std::size_t index) = 0;
};

class Replayer {
public:
    // How the texts name the side that writes: the in-process replay's "program", whose run
    // ends; the player's "host", which is done.
    struct Words {
        std::string_view writer;  // "program", "host"
        std::string_view early;   // "the run ended", "the host was done"
    };

    // `speed` divides the recorded delays; 0 plays everything as soon as it may come. `file`
    // names the recording in messages. `note` gets the difference when it is found and a line
    // when the recording has been played to its end.
    Replayer(Recording recording, double speed, std::string file, Words words, ReplayStage& stage,
             std::function<void(const std::string&)> note = {});
    // stop().
    ~Replayer();
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    const Recording& recording() const { return rec_; }
    const RecordingIndex& index() const { return lookup_; }

    // The lock that guards the frontier and the stage's state.
    std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }

    // --- with lock() held ---
    // Starts the thread that plays the device's events; their delays count from now.
    void startLocked();
    // The first event not yet passed or played.
    std::size_t frontier() const { return next_; }
    bool divergedLocked() const { return !diverged_.empty(); }
    // Passes the program's own events at the frontier.
    void passHostEvents();
    // The program wrote `report` to `path`: plays what came before it, then matches it. The
    // recorded write when it matches; null when it differs (the replay stops) or the replay
    // has stopped already.
    const Event* matchWrite(const std::string& path, std::span<const std::uint8_t> report);
    // "event N (line L of F)".
    std::string where(std::size_t index) const;

    // --- without ---
    // Stops playing and joins the thread; once it returns the stage is called no more from it.
    void stop();
    // The first difference, in words; empty while none.
    std::string divergence() const;
    // Set when the replay stops at a difference.
    base::Waitable divergenceEvent() const { return divergedEvent_.waitable(); }
    // The firmware file of this run; a difference then says whether it is the recorded one.
    void noteImage(const std::string& sha256, std::uint64_t size);
    // Waits until the replay stops at a difference or every event has been played, at most
    // until `deadline`; true when one of them happened.
    bool waitStopped(std::chrono::steady_clock::time_point deadline) const;
    // Every event has been played or passed, and no difference found.
    bool finished() const;
    // When the program is done: the difference found, or, when the recording had it write
    // more, that. Empty when it wrote everything recorded.
    std::string conclude();
    std::size_t recordedWrites() const;
    // The exit status of the recorded run, when the recording has its end.
    std::optional<int> recordedExit() const;
    // For tests: the entries its lookups into the recording have visited (RecordingIndex).
    std::uint64_t lookupSteps() const;

private:
    bool IsWrite(std::size_t i) const { return rec_.events[i].kind == EventKind::write; }
    bool IsDevice(std::size_t i) const { return IsDeviceEvent(rec_.events[i]); }
    void Diverge(std::string what);
    void Loop();

    const Recording rec_;
    const RecordingIndex lookup_;  // built once, for the stages' lookups
    const double speed_;
    const std::string file_;
    const Words words_;
    ReplayStage& stage_;
    const std::function<void(const std::string&)> note_;
    const base::WakeEvent divergedEvent_;

    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    bool stopping_ = false;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point anchorReal_;
    std::int64_t anchorMicros_ = 0;
    std::string diverged_;
    bool endNoted_ = false;
    std::string imageSha_;
    std::uint64_t imageSize_ = 0;
    std::thread player_;
};

}  // namespace vumo::recording
