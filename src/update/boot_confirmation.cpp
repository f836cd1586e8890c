// UpdateProcedure: after the upload. The restart command (sent again while the device stays
// on the bus) and the wait for the device back in application mode.

#include "update/update_procedure.h"

#include "protocol/reports.h"
#include "update/procedure_texts.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace detail;

void UpdateProcedure::ArrivalDuringBoot() {
    hid::DeviceIdentity identity;
    {
        std::lock_guard lock(mutex_);
        if (stage_ != Stage::booting || booted_) return;
        identity = booting_;
    }
    for (const auto& entry : app_.Scan()) {
        if (!IsSameDevice(identity, entry)) continue;
        {
            std::lock_guard lock(mutex_);
            // The worker may have given up meanwhile; then this return comes too late.
            if (stage_ != Stage::booting || booted_) return;
            booted_ = true;
            bootedPath_ = entry.path;
        }
        wake_.notify_all();
        return;
    }
}

void UpdateProcedure::RestartAndConfirmBoot(const hid::DeviceIdentity& identity,
                                            UpdateResult result) {
    {
        std::lock_guard lock(mutex_);
        stage_ = Stage::booting;
        booting_ = identity;
        restartPath_ = dfu_.openPath();
        leftAfterRestart_ = false;
        booted_ = false;
        bootedPath_.clear();
    }
    closeOnRemoval_.store(1);
    // A loader may still be busy right after its END reply: the restart keeps the pause that
    // comes before every other command.
    Pause(pauses_.command);
    int sends = 0;
    bool stayed = false;  // still on the bus after the last restart command
    for (;;) {
        dfu_.SendModeSwitch(protocol::kModeApplication);
        ++sends;
        if (sends == 1) {
            result.restarted = true;
            // The image is written and the restart sent: the upload is over. Watching for the
            // device's return writes nothing, so it must not hold the front end's controls as
            // an upload does.
            dfu_.updateInProgress.store(0);
            events_.PhaseChanged(Phase::confirming, blockCount(), blockCount());
            // The device may be back before its arrival is handed to us.
            ArrivalDuringBoot();
        }
        std::unique_lock lock(mutex_);
        const bool moved = wake_.wait_for(lock, limits_.restartLeave, [this] {
            return stopped_ || leftAfterRestart_ || booted_;
        });
        if (moved) break;
        if (sends == kRestartSends) {
            stayed = true;
            break;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + limits_.deviceReturn;
    bool booted = false;
    bool stopped = false;
    {
        std::unique_lock lock(mutex_);
        if (!stayed) {
            wake_.wait_until(lock, deadline, [this] { return stopped_ || booted_; });
        }
        // "Back" and "gave up" are one transition: a return after it belongs to no update.
        booted = booted_;
        stopped = stopped_;
        EndLocked();
    }
    dfu_.updateInProgress.store(0);
    result.confirmed = booted;
    if (!booted) {
        result.step = Step::restart;
        if (stopped) {
            result.outcome = Outcome::interrupted;
            result.message = "The update was interrupted.";
        } else {
            result.outcome = Outcome::failed;
            result.message = kDidNotBoot;
            result.cause =
                stayed ? "the image was uploaded, but " + DescribeIdentity(identity) +
                             " stayed on the bus in update mode after " +
                             std::to_string(kRestartSends) +
                             " restart commands. Unplug it and plug it in again; if it comes "
                             "back in update mode, run the update again."
                       : "the image was uploaded and the device was told to restart, but " +
                             DescribeIdentity(identity) +
                             " was not back in application mode within " +
                             std::to_string(limits_.deviceReturn.count() / 1000) +
                             " seconds. It may not have started the new firmware; if it is in "
                             "update mode, run the update again.";
            result.explanation = {result.cause, {}};
            events_.Failed({Step::restart,
                            "The device did not come back in application mode after the "
                            "update: it may not have started the new firmware.",
                            result.explanation});
        }
    }
    Report(std::move(result));
}

}  // namespace vumo::update
