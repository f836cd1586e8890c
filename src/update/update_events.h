#pragma once
// What an update tells its front end, in the engine's own words: where it is, which block it
// sends, how it failed (with why and what to do) and how it ended. How that looks is the front
// end's business: the window turns it into its bar, its blinking warning, its buttons and its
// boxes; the command line into lines; the station into tiles and log records. Calls come from
// the thread that runs the step (the front end's own, or the update worker); a front end
// implements only the events it uses.

#include "hid/hid_device.h"
#include "messages/causes.h"

#include <cstdint>
#include <string>

namespace vumo::update {

// Where an update is.
enum class Phase {
    switchingMode,   // mode switch sent, waiting for the device to leave and come back
    settling,        // the device is back; giving it time on the bus before it is opened
    handshake,       // READY?, LOCATION, SIZE
    uploading,       // blocks
    finishing,       // DFUEND
    restarting,      // restart command sent
    confirming,      // waiting for the device to come back running its new firmware
};

enum class Outcome { ok, failed, interrupted };

// Which step an update ended at, for scripts.
enum class Step {
    none, modeSwitch, deviceReturn, open, ready, location, size, start, block, end,
    restart,  // uploaded, but the device did not come back in application mode
    done,
};

const char* StepName(Step step);
const char* OutcomeName(Outcome outcome);

// The fixed steps an update takes on its way to the first block, in order: the second stage
// begins; the device is back after the mode switch; each settling pass; the upload is asked
// for; each command of the handshake; the start of the upload is asked for; START is sent.
// The window's progress bar moves one position at each.
enum class Milestone { begun, deviceBack, settlePass, uploadRequested, command, startRequested,
                       startSent };

// A failure as the user is told of it: the fixed message, byte for byte, and beside it why and
// what to do, from the one table in messages/.
struct Failure {
    Step step = Step::none;
    std::string message;
    messages::Cause cause;
};

struct UpdateResult {
    Outcome outcome = Outcome::failed;
    Step step = Step::none;
    std::string message;        // the text the user was shown (the completion text on success)
    std::string cause;          // the engine's own account beside the fixed message, when any
    // Why and what to do, as the user was told beside the message (the engine's account or
    // the table's); empty when there is nothing to add.
    messages::Cause explanation;
    std::string note;           // said on success when there is more to know
    std::uint32_t blocks = 0;   // blocks of the image
    std::uint32_t blocksSent = 0;
    std::uint8_t location = 0;
    std::string serial;         // of the device that was updated, when known
    std::string port;           // where it is plugged in, when known
    bool restarted = false;     // the restart command was sent
    bool confirmed = false;     // the device was seen back in application mode afterwards
    double seconds = 0;         // from the second stage to the end
};

class UpdateEvents {
public:
    virtual ~UpdateEvents() = default;
    // The second stage has begun an update of `blocks` blocks.
    virtual void Began(std::uint32_t /*blocks*/) {}
    // One of the fixed steps before the upload was taken.
    virtual void MilestoneReached(Milestone) {}
    // The phase, and during the upload the block about to be sent (from 0) of `blocks`.
    virtual void PhaseChanged(Phase, std::uint32_t /*block*/, std::uint32_t /*blocks*/) {}
    // The last block went out and DFUEND was answered, or its wait gave up without a stop.
    virtual void UploadClosed() {}
    // The update opened the device after its return in update mode: `device` is now what the
    // front end has open.
    virtual void DeviceOpened(const hid::DeviceIdentity& /*device*/) {}
    // A failure the user must be told of; returns once the front end has told it (the window:
    // once its box is closed). Not every failure ends the update at once: a late DFUEND
    // reply still counts after its time-out was reported.
    virtual void Failed(const Failure&) {}
    // The upload is through: `text` is the completion message. Returns once it was shown; the
    // restart command follows only then.
    virtual void Uploaded(const std::string& /*text*/) {}
    // Once per update that reached the device, when it has ended one way or another.
    virtual void Finished(const UpdateResult&) {}
};

}  // namespace vumo::update
