#pragma once
// The one-line status of an update, as a window shows it beside its version line: what the
// update is doing now, and how it ended. StatusTracker turns the engine's events into an
// UpdateStatus (what to say, with its numbers); StatusText() words it in English. The Qt window
// words the same statuses through its translations (app/main_dialog.cpp, StatusLineText); any
// other window on the same events can take StatusText() as it is.
//
// No toolkit here: the tracker is plain data, fed on whichever thread the events come; the
// caller keeps the calls apart (one at a time) and shows the text on its own thread.

#include "update/update_events.h"
#include "update/update_procedure.h"

#include <cstdint>
#include <string>

namespace vumo::frontend {

enum class StatusKind {
    idle,          // nothing to say yet
    switching,     // "switching to the update loader"
    settling,      // "waiting for the device (10 s)": seconds left of the settling passes
    preparing,     // "preparing the upload": READY?, LOCATION, SIZE, DFUSTART
    uploading,     // "uploading block 212 of 1024" (from 1)
    finishing,     // "finishing the upload": DFUEND
    restarting,    // "restarting the device"
    confirming,    // "waiting for the device to start its new firmware"
    running,       // "done: VUMO-0001 is running the new firmware (31 s)"
    restarted,     // done, restart sent, its return not watched for
    inLoader,      // done; images of this location are not followed by a restart
    failed,        // a failure's short line, by step
    interrupted,   // "update stopped"
};

struct UpdateStatus {
    StatusKind kind = StatusKind::idle;
    std::uint32_t block = 0;   // uploading: the block being sent, counted from 1
    std::uint32_t blocks = 0;  // uploading: of how many
    int secondsLeft = 0;       // settling
    std::string serial;        // running, restarted, inLoader, failed: the device, when known
    int seconds = 0;           // running, restarted, inLoader: how long the update took
    update::Step step = update::Step::none;  // failed: where
    std::string message;       // failed: the fixed message the user was shown
    bool operator==(const UpdateStatus&) const = default;
};

class StatusTracker {
public:
    // The settling passes and their length, for the countdown.
    explicit StatusTracker(update::Pauses pauses = {}) : pauses_(pauses) {}

    // Each returns true when the status has changed.
    bool Began(std::uint32_t blocks);
    bool MilestoneReached(update::Milestone milestone);
    bool PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks);
    bool Failed(const update::Failure& failure);
    bool Finished(const update::UpdateResult& result);

    const UpdateStatus& status() const { return status_; }

private:
    bool Set(UpdateStatus status);

    update::Pauses pauses_;
    int settlePassesBegun_ = 0;
    UpdateStatus status_;
};

// The status in English: "uploading block 212 of 1024". Empty for idle.
std::string StatusText(const UpdateStatus& status);

}  // namespace vumo::frontend
