// UpdateProcedure: the conversation with the loader: the handshake, the blocks, DFUEND.

#include "update/update_procedure.h"

#include "protocol/reports.h"
#include "update/procedure_texts.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace detail;

bool UpdateProcedure::WaitReply(Flag flag, std::uint32_t want) {
    return dfu_.flags().WaitFor(flag, want, std::chrono::steady_clock::now() + limits_.reply,
                                abort_);
}

void UpdateProcedure::StartUpload() {
    dfu_.updateInProgress.store(1);
    Pause(pauses_.shortPause);
    Reached(Milestone::uploadRequested);
    bool notStarted = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            if (stage_ == Stage::idle) {
                // Straight from the second stage, with the device open in update mode.
                abort_.store(false);
                cameBack_ = false;
            }
            stage_ = Stage::uploading;
        } else {
            // From the second stage nothing was sent yet; from the worker, the device's return
            // is ended by the worker as it stops.
            notStarted = stage_ == Stage::idle;
        }
    }
    if (notStarted) return ReportNotStarted();
    wake_.notify_all();
}

void UpdateProcedure::RunHandshake() {
    events_.PhaseChanged(Phase::handshake, 0, blockCount());
    struct Command {
        Flag flag;
        const char* timeout;
        messages::UpdateFailure failure;
        Step step;
    };
    static constexpr Command kHandshake[] = {
        {Flag::ready, "Ready Time out", messages::UpdateFailure::readyTimeout, Step::ready},
        {Flag::location, "DFU Location time out", messages::UpdateFailure::locationTimeout,
         Step::location},
        {Flag::size, "DFU Size time out", messages::UpdateFailure::sizeTimeout, Step::size},
    };
    bool cameBack = false;
    {
        std::lock_guard lock(mutex_);
        cameBack = cameBack_;
    }
    for (const Command& c : kHandshake) {
        if (!Pause(pauses_.command)) return Fail(c.step, {});
        Reached(Milestone::command);
        // A flag left over from an earlier update must not answer for this command.
        dfu_.flags().Set(c.flag, 0);
        if (c.flag == Flag::ready && fast() && cameBack) {
            if (!ProbeReady()) return Fail(c.step, c.timeout, c.failure);
            continue;
        }
        if (c.flag == Flag::ready) dfu_.SendReadyQuery();
        if (c.flag == Flag::location) dfu_.SendLocation(location());
        if (c.flag == Flag::size) dfu_.SendSize(blockCount());
        if (!WaitReply(c.flag, 1)) return Fail(c.step, c.timeout, c.failure);
    }
    if (!Pause(pauses_.command)) return Fail(Step::start, {});
    Reached(Milestone::startRequested);
    const int uploaded = UploadImage();
    if (uploaded != 0) return;  // UploadImage has reported

    if (dfu_.flags().Get(Flag::end) != 1) {
        dfu_.updateInProgress.store(0);
        if (stopRequested())
            Finish(Outcome::interrupted, Step::end, "The update was interrupted.");
        else
            Finish(Outcome::failed, Step::end, "DFU end time out", {},
                   messages::UpdateCause(messages::UpdateFailure::endTimeout));
        return;
    }
    events_.Uploaded(kCompletionText);
    UpdateResult result;
    result.outcome = Outcome::ok;
    result.step = Step::done;
    result.message = kCompletionText;
    const hid::DeviceIdentity identity = this->identity();
    // Only after the user has closed the box.
    if (location() == 1) {
        events_.PhaseChanged(Phase::restarting, blockCount(), blockCount());
        if (checks_.confirmBoot) return RestartAndConfirmBoot(identity, std::move(result));
        closeOnRemoval_.store(1);
        dfu_.SendModeSwitch(protocol::kModeApplication);
        result.restarted = true;
    } else if (checks_.confirmBoot) {
        result.note = "The device stays in its update loader: images of location code " +
                      std::to_string(location()) + " are not followed by a restart.";
    }
    dfu_.updateInProgress.store(0);
    Finish(std::move(result));
}

bool UpdateProcedure::ProbeReady() {
    const auto deadline = std::chrono::steady_clock::now() + pauses_.settle * pauses_.settlePasses;
    for (;;) {
        // The flag is not cleared between probes: an answer to an earlier one counts too.
        dfu_.SendReadyQuery();
        const auto slice = std::min(std::chrono::steady_clock::now() + kReadyProbe, deadline);
        if (dfu_.flags().WaitFor(Flag::ready, 1, slice, abort_)) return true;
        if (abort_.load() || std::chrono::steady_clock::now() >= deadline) return false;
    }
}

int UpdateProcedure::UploadImage() {
    const std::uint32_t blocks = blockCount();
    if (!Pause(pauses_.command)) return Fail(Step::start, {}), 1;
    Reached(Milestone::startSent);
    dfu_.flags().Set(Flag::start, 0);
    dfu_.SendStart();
    if (!WaitReply(Flag::start, 1))
        return Fail(Step::start, "DFU start time out", messages::UpdateFailure::startTimeout), 1;

    for (std::uint32_t i = 0; i < blocks; ++i) {
        // The 10 ms after the block before and the 10 ms before this one are one wait: the
        // same gap on the wire, one wake-up of this thread fewer per block (a station flashing
        // dozens of devices spends a good part of its CPU on these wake-ups).
        if (!Pause(i == 0 ? pauses_.command : 2 * pauses_.command))
            return Fail(Step::block, {}), 1;
        events_.PhaseChanged(Phase::uploading, i, blocks);
        dfu_.flags().Set(Flag::image, 0);
        dfu_.SendBlock(image_->image, i);
        if (!WaitReply(Flag::image, 1)) {
            char text[48];
            std::snprintf(text, sizeof text, "DFU upload time out : %u", i);
            return Fail(Step::block, text, messages::UpdateFailure::blockTimeout), 1;
        }
        blocksSent_.store(i + 1);
    }
    if (blocks > 0 && !Pause(pauses_.command)) return Fail(Step::block, {}), 1;

    if (!Pause(pauses_.command)) return Fail(Step::end, {}), 1;
    events_.PhaseChanged(Phase::finishing, blocks, blocks);
    dfu_.flags().Set(Flag::end, 0);
    dfu_.SendEnd();
    if (!WaitReply(Flag::start, 0)) {
        if (stopRequested() || deviceLeft_)
            return Fail(Step::end, "DFU end time out", messages::UpdateFailure::endTimeout), 1;
        // The completion box still follows if the END reply came after all.
        events_.Failed({Step::end, "DFU end time out",
                        messages::UpdateCause(messages::UpdateFailure::endTimeout)});
    }
    events_.UploadClosed();
    return 0;
}

}  // namespace vumo::update
