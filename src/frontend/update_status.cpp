#include "frontend/update_status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace vumo::frontend {

namespace {

// Whole seconds, rounded up: a countdown shows 1 s until it has run out.
int CeilSeconds(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    return ms <= 0 ? 0 : static_cast<int>((ms + 999) / 1000);
}

int RoundSeconds(double seconds) {
    return seconds <= 0 ? 0 : static_cast<int>(std::lround(seconds));
}

}  // namespace

bool StatusTracker::Set(UpdateStatus status) {
    if (status == status_) return false;
    status_ = std::move(status);
    return true;
}

bool StatusTracker::Began(std::uint32_t /*blocks*/) {
    settlePassesBegun_ = 0;
    return Set({});
}

bool StatusTracker::MilestoneReached(update::Milestone milestone) {
    if (milestone != update::Milestone::settlePass) return false;
    // Each pass is announced before its pause: the pass that begins still lies ahead.
    ++settlePassesBegun_;
    const int passesLeft = std::max(0, pauses_.settlePasses - settlePassesBegun_ + 1);
    UpdateStatus status;
    status.kind = StatusKind::settling;
    status.secondsLeft = CeilSeconds(pauses_.settle * passesLeft);
    return Set(std::move(status));
}

bool StatusTracker::PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) {
    UpdateStatus status;
    switch (phase) {
        case update::Phase::switchingMode: status.kind = StatusKind::switching; break;
        case update::Phase::settling:
            settlePassesBegun_ = 0;
            status.kind = StatusKind::settling;
            status.secondsLeft = CeilSeconds(pauses_.settle * pauses_.settlePasses);
            break;
        case update::Phase::handshake: status.kind = StatusKind::preparing; break;
        case update::Phase::uploading:
            status.kind = StatusKind::uploading;
            status.block = block + 1;
            status.blocks = blocks;
            break;
        case update::Phase::finishing: status.kind = StatusKind::finishing; break;
        case update::Phase::restarting: status.kind = StatusKind::restarting; break;
        case update::Phase::confirming: status.kind = StatusKind::confirming; break;
    }
    return Set(std::move(status));
}

bool StatusTracker::Failed(const update::Failure& failure) {
    UpdateStatus status;
    status.kind = StatusKind::failed;
    status.step = failure.step;
    status.message = failure.message;
    status.serial = status_.serial;
    return Set(std::move(status));
}

bool StatusTracker::Finished(const update::UpdateResult& result) {
    UpdateStatus status;
    status.serial = result.serial;
    status.seconds = RoundSeconds(result.seconds);
    switch (result.outcome) {
        case update::Outcome::ok:
            status.kind = !result.restarted ? StatusKind::inLoader
                          : result.confirmed ? StatusKind::running
                                             : StatusKind::restarted;
            break;
        case update::Outcome::interrupted: status.kind = StatusKind::interrupted; break;
        case update::Outcome::failed:
            status.kind = StatusKind::failed;
            status.step = result.step;
            status.message = result.message;
            status.seconds = 0;
            break;
    }
    return Set(std::move(status));
}

std::string StatusText(const UpdateStatus& s) {
    const std::string device = s.serial.empty() ? "the device" : s.serial;
    const std::string took = " (" + std::to_string(s.seconds) + " s)";
    switch (s.kind) {
        case StatusKind::idle: return {};
        case StatusKind::switching: return "switching to the update loader";
        case StatusKind::settling:
            return "waiting for the device (" + std::to_string(s.secondsLeft) + " s)";
        case StatusKind::preparing: return "preparing the upload";
        case StatusKind::uploading:
            return "uploading block " + std::to_string(s.block) + " of " +
                   std::to_string(s.blocks);
        case StatusKind::finishing: return "finishing the upload";
        case StatusKind::restarting: return "restarting the device";
        case StatusKind::confirming: return "waiting for the device to start its new firmware";
        case StatusKind::running: return "done: " + device + " is running the new firmware" + took;
        case StatusKind::restarted:
            return "done: the new firmware is written and " + device + " restarts" + took;
        case StatusKind::inLoader:
            return "done: the new firmware is written; " + device + " stays in its update loader" +
                   took;
        case StatusKind::interrupted: return "update stopped";
        case StatusKind::failed:
            switch (s.step) {
                case update::Step::modeSwitch:
                    return "failed: the device could not be switched to its update loader";
                case update::Step::deviceReturn:
                    return "failed: the device did not come back in its update loader";
                case update::Step::open:
                    return "failed: the device in update mode could not be opened";
                case update::Step::ready:
                case update::Step::location:
                case update::Step::size:
                case update::Step::start:
                case update::Step::block:
                case update::Step::end:
                    return "failed: the device stopped answering (" + s.message + ")";
                case update::Step::restart:
                    return "failed: " + device + " did not start its new firmware";
                case update::Step::none:
                case update::Step::done: break;
            }
            return "failed: " + s.message;
    }
    return {};
}

}  // namespace vumo::frontend
