#include "frontend/window_rule.h"

namespace vumo::frontend {

namespace {

// The engine's advice when an update under fast pacing fails.
constexpr std::string_view kEngineFastPacingAdvice = "try again with --pacing standard.";

}  // namespace

ControlStates ControlRule(const ControlInputs& in) {
    ControlStates s;
    s.closeCaption = in.openMode != 0;
    s.list = in.openMode == 0;
    s.update = in.openMode != 0 && !in.pathEmpty;
    // Opening needs a line to open; closing needs none: a device that is open stays closable
    // even when the list no longer shows it.
    s.open = in.listLines > 0 || in.openMode != 0;
    s.browse = true;
    s.close = true;
    if (in.updateRunning) {
        s.list = s.open = s.update = s.browse = s.close = false;
    }
    // The watch ends within its limit, and the rule runs again then.
    if (in.watchingForBoot) s.update = false;
    s.pathReadOnly = in.updateRunning;
    return s;
}

bool WindowChange::empty() const {
    return !status && !progressMaximum && !progressStep && !progress && !warning &&
           !openButtonOff && !updateButtonOff && !bootWatchBegan && !box && !deviceOpened &&
           !finished;
}

void UpdatePresenter::TakeStatus(bool changed, WindowChange& change) const {
    if (changed) change.status = tracker_.status();
}

void UpdatePresenter::ShowWarningLocked(bool shown, WindowChange& change) {
    // Asked at every block, changed only every fifth: the rest cost no hand-over.
    if (shown == warningShown_) return;
    warningShown_ = shown;
    change.warning = shown;
}

void UpdatePresenter::Send(const WindowChange& change) {
    if (!change.empty()) view_.Apply(change);
}

void UpdatePresenter::Began(std::uint32_t blocks) {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        TakeStatus(tracker_.Began(blocks), change);
    }
    change.progressMaximum = ProgressMaximum(blocks);
    Send(change);
}

void UpdatePresenter::MilestoneReached(update::Milestone milestone) {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        TakeStatus(tracker_.MilestoneReached(milestone), change);
    }
    if (milestone == update::Milestone::settlePass) {
        // While the returned device settles nothing may open, close or start anything.
        change.openButtonOff = true;
        change.updateButtonOff = true;
    }
    change.progressStep = true;
    Send(change);
}

void UpdatePresenter::PhaseChanged(update::Phase phase, std::uint32_t block,
                                   std::uint32_t blocks) {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        TakeStatus(tracker_.PhaseChanged(phase, block, blocks), change);
        if (phase == update::Phase::uploading) ShowWarningLocked(WarningShownAt(block), change);
    }
    if (phase == update::Phase::handshake) change.openButtonOff = true;
    if (phase == update::Phase::uploading) change.progress = UploadPosition(block);
    if (phase == update::Phase::confirming) change.bootWatchBegan = true;
    Send(change);
}

void UpdatePresenter::UploadClosed() {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        ShowWarningLocked(true, change);
    }
    Send(change);
}

void UpdatePresenter::Failed(const update::Failure& failure) {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        TakeStatus(tracker_.Failed(failure), change);
    }
    change.box = WindowBox{failure.message, "ERROR", kBoxOk | kBoxIconError, failure.cause};
    Send(change);
}

void UpdatePresenter::Uploaded(const std::string& text) {
    WindowChange change;
    change.box = WindowBox{text, "Update Complete ", kBoxOk, {}};
    Send(change);
}

void UpdatePresenter::DeviceOpened(const hid::DeviceIdentity& device) {
    WindowChange change;
    change.deviceOpened = device;
    Send(change);
}

void UpdatePresenter::Finished(const update::UpdateResult& result) {
    WindowChange change;
    {
        std::lock_guard lock(mutex_);
        TakeStatus(tracker_.Finished(result), change);
    }
    change.finished = result;
    Send(change);
}

std::string WindowDetail(const messages::Cause& cause, std::string_view windowAdvice) {
    std::string detail = messages::DetailText(cause);
    const auto at = detail.find(kEngineFastPacingAdvice);
    if (at != std::string::npos) detail.replace(at, kEngineFastPacingAdvice.size(), windowAdvice);
    return detail;
}

}  // namespace vumo::frontend
