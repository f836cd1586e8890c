// The main window's update: the firmware file chosen (Browse, a drop, Enter), the first stage
// of Update, and the engine's events turned into the bar, the warning, the buttons, the boxes and
// the status line.

#include "app/main_dialog.h"

#include "app/file_drop.h"
#include "app/main_dialog_parts.h"
#include "app/progress_announcer.h"
#include "frontend/open_listed.h"
#include "messages/causes.h"
#include "protocol/reports.h"
#include "text/utf8.h"
#include "update/device_watcher.h"
#include "vumo/build_config.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QStyledItemDelegate>

#include <algorithm>

namespace vumo::app {

using namespace dialog_parts;

void CVumo_DFU_UtilityDlg::OnBrowseClicked() {
    if (shutDown_) return;
    const auto dialog = MakeBrowseDialog(this);
    if (dialog->exec() == QDialog::Accepted) {
        const QStringList files = dialog->selectedFiles();
        if (!files.isEmpty()) {
            filePath_ = QDir::toNativeSeparators(files.front());
            UpdateData(false);
        }
    }
    UpdateControls();
}

void CVumo_DFU_UtilityDlg::OnUpdateClicked() {
    if (shutDown_ || UpdateRunning() || watching_) return;
    if (!engineError_.empty()) {
        // The rest of the window works without the worker; the update can't.
        boxes_->ShowCaptioned(
            this,
            tr("The update can't run: %1. Close other programs and start the utility again.")
                .arg(QString::fromStdString(engineError_)),
            QStringLiteral("ERROR"), kMbOk | kMbIconError);
        return;
    }
    UpdateData(true);
    updateButton_->setEnabled(false);
    progressStep_.store(0);

    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const image::PrepareResult prepared = image::PrepareImage(
        QFile::encodeName(filePath_).toStdString(), redirector_, options_.prepare);
    QGuiApplication::restoreOverrideCursor();
    if (!prepared.ok()) {
        boxes_->ShowCaptioned(
            this, QString::fromStdString(prepared.text), QString::fromStdString(prepared.caption),
            kMbOk | kMbIconError,
            QString::fromStdString(messages::DetailText(messages::PrepareCause(prepared))));
        return;
    }
    if (options_.onImagePrepared)
        options_.onImagePrepared(prepared.prepared->sha256, prepared.prepared->fileSize);

    const std::uint8_t mode = openMode();
    updateActive_ = mode == protocol::kModeApplication || mode == protocol::kModeUpdate;
    if (updateActive_) flashing_.emplace(sleep_, openDevice_.serial);
    procedure_->StartSecondStage({prepared.prepared, openDevice_, mode});
    // Nothing that would cut the update short stays clickable while it runs.
    if (updateActive_) UpdateControls();
}

// The update's events. Each change of a control is carried out on the window's thread; the
// worker waits for it.

void CVumo_DFU_UtilityDlg::Began(std::uint32_t blocks) {
    TrackStatus([blocks](frontend::StatusTracker& t) { return t.Began(blocks); });
    SetProgressRange(0, static_cast<int>(blocks) + 30);
}

void CVumo_DFU_UtilityDlg::MilestoneReached(update::Milestone milestone) {
    if (milestone == update::Milestone::settlePass) {
        // While the returned device settles nothing may open, close or start anything.
        EnableOpenButton(false);
        EnableUpdateButton(false);
    }
    TrackStatus([milestone](frontend::StatusTracker& t) { return t.MilestoneReached(milestone); });
    ProgressStep();
}

void CVumo_DFU_UtilityDlg::PhaseChanged(update::Phase phase, std::uint32_t block,
                                        std::uint32_t blocks) {
    if (phase == update::Phase::handshake) EnableOpenButton(false);
    if (phase == update::Phase::uploading) {
        // The bar's range left 30 positions for the steps before the first block; the bar and
        // the status line move in one hand-over.
        const int position = static_cast<int>(block) + 31;
        TrackStatus(
            [&](frontend::StatusTracker& t) { return t.PhaseChanged(phase, block, blocks); },
            [this, position] {
                progressBar_->setValue(
                    std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
            });
        // The warning blinks in runs of five blocks.
        ShowWarning(block % 10 < 5);
        return;
    }
    std::function<void()> also;
    if (phase == update::Phase::confirming) {
        // The image is written and the restart sent: what is left is a watch that writes
        // nothing. Closing now cuts nothing short, so it asks nothing; the controls stay as the
        // update left them until the device's departure runs the enabling rule, as after any
        // update.
        also = [this] {
            updateActive_ = false;
            watching_ = true;
        };
    }
    TrackStatus([&](frontend::StatusTracker& t) { return t.PhaseChanged(phase, block, blocks); },
                std::move(also));
}

void CVumo_DFU_UtilityDlg::UploadClosed() { ShowWarning(true); }

void CVumo_DFU_UtilityDlg::Failed(const update::Failure& failure) {
    TrackStatus([&failure](frontend::StatusTracker& t) { return t.Failed(failure); });
    ShowBox(failure.message, QStringLiteral("ERROR"), kMbOk | kMbIconError, failure.cause);
}

void CVumo_DFU_UtilityDlg::TrackStatus(
    const std::function<bool(frontend::StatusTracker&)>& change, std::function<void()> also) {
    // The status goes over as plain data and is worded on the window's thread: no text of the
    // window's is shared between the two threads.
    std::optional<frontend::UpdateStatus> status;
    {
        std::lock_guard lock(statusMutex_);
        if (change(statusTracker_)) status = statusTracker_.status();
    }
    if (!status && !also) return;
    windowCalls_.Run([this, status = std::move(status), also = std::move(also)] {
        if (status) {
            const QString text = StatusLineText(*status);
            statusLine_->setText(text);
            // The whole line stays readable when it is wider than its place.
            statusLine_->setToolTip(text);
            emit statusShown(text);
        }
        if (also) also();
    });
}

QString CVumo_DFU_UtilityDlg::StatusLineText(const frontend::UpdateStatus& s) {
    using frontend::StatusKind;
    const QString device = s.serial.empty()
                               ? tr("the device")
                               : QString::fromStdString(text::TerminalSafe(s.serial));
    switch (s.kind) {
        case StatusKind::idle: return {};
        case StatusKind::switching: return tr("switching to the update loader");
        case StatusKind::settling: return tr("waiting for the device (%1 s)").arg(s.secondsLeft);
        case StatusKind::preparing: return tr("preparing the upload");
        case StatusKind::uploading:
            return tr("uploading block %1 of %2").arg(s.block).arg(s.blocks);
        case StatusKind::finishing: return tr("finishing the upload");
        case StatusKind::restarting: return tr("restarting the device");
        case StatusKind::confirming: return tr("waiting for the device to start its new firmware");
        case StatusKind::running:
            return tr("done: %1 is running the new firmware (%2 s)").arg(device).arg(s.seconds);
        case StatusKind::restarted:
            return tr("done: the new firmware is written and %1 restarts (%2 s)")
                .arg(device)
                .arg(s.seconds);
        case StatusKind::inLoader:
            return tr("done: the new firmware is written; %1 stays in its update loader (%2 s)")
                .arg(device)
                .arg(s.seconds);
        case StatusKind::interrupted: return tr("update stopped");
        case StatusKind::failed: {
            const QString message = QString::fromStdString(text::TerminalSafe(s.message));
            switch (s.step) {
                case update::Step::modeSwitch:
                    return tr("failed: the device could not be switched to its update loader");
                case update::Step::deviceReturn:
                    return tr("failed: the device did not come back in its update loader");
                case update::Step::open:
                    return tr("failed: the device in update mode could not be opened");
                case update::Step::ready:
                case update::Step::location:
                case update::Step::size:
                case update::Step::start:
                case update::Step::block:
                case update::Step::end:
                    return tr("failed: the device stopped answering (%1)").arg(message);
                case update::Step::restart:
                    return tr("failed: %1 did not start its new firmware").arg(device);
                case update::Step::none:
                case update::Step::done: break;
            }
            return tr("failed: %1").arg(message);
        }
    }
    return {};
}

void CVumo_DFU_UtilityDlg::Uploaded(const std::string& text) {
    ShowBox(text, QStringLiteral("Update Complete "), kMbOk, {});
}

void CVumo_DFU_UtilityDlg::SetProgressRange(int minimum, int maximum) {
    windowCalls_.Run([this, minimum, maximum] { progressBar_->setRange(minimum, maximum); });
}

void CVumo_DFU_UtilityDlg::ProgressStep() { SetProgress(progressStep_.fetch_add(1)); }

void CVumo_DFU_UtilityDlg::SetProgress(int position) {
    windowCalls_.Run([this, position] {
        // Out of range positions are clamped, as a progress bar control does, not ignored.
        progressBar_->setValue(
            std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
    });
}

void CVumo_DFU_UtilityDlg::ShowWarning(bool visible) {
    if (warningShown_.exchange(visible ? 1 : 0) == (visible ? 1 : 0)) return;
    windowCalls_.Run([this, visible] { warningLabel_->setVisible(visible); });
}

// The procedure's own control changes count only while its update runs: after the end,
// UpdateControls alone decides.
void CVumo_DFU_UtilityDlg::EnableOpenButton(bool enabled) {
    windowCalls_.Run([this, enabled] {
        if (updateActive_) deviceOpenButton_->setEnabled(enabled);
    });
}

void CVumo_DFU_UtilityDlg::EnableUpdateButton(bool enabled) {
    windowCalls_.Run([this, enabled] {
        if (updateActive_) updateButton_->setEnabled(enabled);
    });
}

void CVumo_DFU_UtilityDlg::ShowBox(const std::string& text, const QString& caption, int type,
                                   const messages::Cause& cause) {
    // The fixed text stays the box's message; what happened and what to do are its detail, in
    // the words of the command line's cause and hint lines.
    QString shownDetail = QString::fromStdString(messages::DetailText(cause));
    // The engine's advice after a failure under fast pacing names the command-line flag; a
    // window is started, not given flags at each update, so it says how to start it.
    shownDetail.replace(QString::fromLatin1(kEngineFastPacingAdvice), tr(kWindowFastPacingAdvice));
    windowCalls_.Run([this, text, shownText = QString::fromStdString(text), caption, type,
                      shownDetail = std::move(shownDetail)] {
        // Every box the engine shows ends an update or is its last word before the end.
        AskForAttention(session::UpdateNotice(
            (type & kMbIconError) == kMbIconError ? update::Outcome::failed : update::Outcome::ok,
            flashing_ ? flashing_->serial() : std::string(), text,
            flashing_ ? flashing_->seconds() : 0));
        boxes_->ShowCaptioned(this, shownText, caption, type, shownDetail);
    });
}

void CVumo_DFU_UtilityDlg::AskForAttention(const session::Notice& notice) {
    if (isActiveWindow()) return;
    ++attentionRequests_;
    QApplication::alert(this);
    // No notification server is no error: the taskbar's alert stays.
    notices_.Notify(notice.summary, notice.body);
}

void CVumo_DFU_UtilityDlg::OnFileDropped(const QString& path) {
    if (shutDown_ || UpdateRunning()) return;
    // A drop is a choice of file, as "Browse" is, and ends the same way: the member takes the
    // path and the enabling rule runs, so Update becomes available at once.
    filePath_ = path;
    UpdateData(false);
    pathEdit_->setFocus();
    UpdateControls();
}

void CVumo_DFU_UtilityDlg::OnPathConfirmed() {
    if (shutDown_ || UpdateRunning()) return;
    // Enter in the path confirms what was typed: the enabling rule runs now instead of at the
    // next device change or click.
    UpdateControls();
}

void CVumo_DFU_UtilityDlg::DeviceOpened(const hid::DeviceIdentity& device) {
    // The procedure has opened the update-mode device and set openMode: the button offers to
    // close it and a removal closes it.
    windowCalls_.Run([this, device] {
        openDevice_ = device;
        UpdateControls();
    });
}

void CVumo_DFU_UtilityDlg::Finished(const update::UpdateResult& result) {
    TrackStatus([&result](frontend::StatusTracker& t) { return t.Finished(result); });
    windowCalls_.Run([this, result] {
        lastResult_ = result;
        updateActive_ = false;
        watching_ = false;
        // An interrupted update ends without a box: ask for attention here.
        if (result.outcome == update::Outcome::interrupted)
            AskForAttention(session::UpdateNotice(result.outcome, result.serial, result.message,
                                                  flashing_ ? flashing_->seconds() : 0));
        flashing_.reset();
        if (result.outcome == update::Outcome::failed) {
            // A failure may have come from a device that left: the window then looks at the
            // bus as it does at a device change, so it never offers a device that is gone.
            CloseDepartedDevice();
            RefreshDeviceList();
        }
        UpdateControls();
        emit updateFinished();
    });
}

}  // namespace vumo::app
