#include "frontend/window_rule.h"

namespace vumo::frontend {

namespace {

// The engine's advice when an update under fast pacing fails, and what a window says instead.
constexpr std::string_view kEngineFastPacingAdvice = "try again with --pacing standard.";
constexpr std::string_view kWindowFastPacingAdvice =
    "close the window and start the utility again without --pacing fast: it then keeps the "
    "standard pauses that some loaders need.";

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
    s.pathReadOnly = in.updateRunning;
    return s;
}

void UpdatePresenter::Began(std::uint32_t blocks) {
    view_.SetProgressRange(0, ProgressMaximum(blocks));
}

void UpdatePresenter::MilestoneReached(update::Milestone milestone) {
    if (milestone == update::Milestone::settlePass) {
        // While the returned device settles nothing may open, close or start anything.
        view_.EnableOpenButton(false);
        view_.EnableUpdateButton(false);
    }
    view_.ProgressStep();
}

void UpdatePresenter::PhaseChanged(update::Phase phase, std::uint32_t block,
                                   std::uint32_t /*blocks*/) {
    if (phase == update::Phase::handshake) view_.EnableOpenButton(false);
    if (phase != update::Phase::uploading) return;
    view_.SetProgress(UploadPosition(block));
    view_.ShowWarning(WarningShownAt(block));
}

void UpdatePresenter::UploadClosed() { view_.ShowWarning(true); }

void UpdatePresenter::Failed(const update::Failure& failure) {
    view_.ShowBox(failure.message, "ERROR", kBoxOk | kBoxIconError, WindowDetail(failure.cause));
}

void UpdatePresenter::Uploaded(const std::string& text) {
    view_.ShowBox(text, "Update Complete ", kBoxOk, {});
}

std::string WindowDetail(const messages::Cause& cause) {
    std::string detail = messages::DetailText(cause);
    const auto at = detail.find(kEngineFastPacingAdvice);
    if (at != std::string::npos)
        detail.replace(at, kEngineFastPacingAdvice.size(), kWindowFastPacingAdvice);
    return detail;
}

}  // namespace vumo::frontend
