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
    if (updateActive_) flashing_.emplace(sleep_, devices_.openDevice().serial);
    devices_.procedure()->StartSecondStage({prepared.prepared, devices_.openDevice(), mode});
    // Nothing that would cut the update short stays clickable while it runs.
    if (updateActive_) UpdateControls();
}

// The update's events, as the presenter turned them into changes of the window. Each change is
// carried out on the window's thread in one hand-over; the worker waits for it.

void CVumo_DFU_UtilityDlg::Apply(const frontend::WindowChange& change) {
    // The bar's step is counted by both threads; it is taken here, in the order the steps come.
    const int step = change.progressStep ? progressStep_.fetch_add(1) : -1;
    windowCalls_.Run([this, change, step] {
        // The status goes over as plain data and is worded on the window's thread: no text of
        // the window's is shared between the two threads.
        if (change.status) ShowStatus(*change.status);
        if (change.progressMaximum) progressBar_->setRange(0, *change.progressMaximum);
        if (step >= 0) SetBar(step);
        if (change.progress) SetBar(*change.progress);
        if (change.warning) warningLabel_->setVisible(*change.warning);
        // The procedure's own control changes count only while its update runs: after the end,
        // UpdateControls alone decides.
        if (updateActive_ && change.openButtonOff) deviceOpenButton_->setEnabled(false);
        if (updateActive_ && change.updateButtonOff) updateButton_->setEnabled(false);
        if (change.bootWatchBegan) {
            // The image is written and the restart sent: what is left is a watch that writes
            // nothing. Closing now cuts nothing short, so it asks nothing; the controls stay as
            // the update left them until the device's departure runs the enabling rule, as
            // after any update.
            updateActive_ = false;
            watching_ = true;
        }
        if (change.deviceOpened) {
            // The procedure has opened the update-mode device and set openMode: the button
            // offers to close it and a removal closes it.
            devices_.setOpenDevice(*change.deviceOpened);
            UpdateControls();
        }
        if (change.box) ShowBox(*change.box);
        if (change.finished) OnUpdateFinished(*change.finished);
    });
}

void CVumo_DFU_UtilityDlg::ProgressStep() {
    const int step = progressStep_.fetch_add(1);
    windowCalls_.Run([this, step] { SetBar(step); });
}

void CVumo_DFU_UtilityDlg::SetBar(int position) {
    progressBar_->setValue(std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
}

void CVumo_DFU_UtilityDlg::ShowStatus(const frontend::UpdateStatus& status) {
    const QString text = StatusLineText(status);
    statusLine_->setText(text);
    // The whole line stays readable when it is wider than its place.
    statusLine_->setToolTip(text);
    emit statusShown(text);
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

void CVumo_DFU_UtilityDlg::ShowBox(const frontend::WindowBox& box) {
    // The fixed text stays the box's message; what happened and what to do are its detail, in
    // the words of the command line's cause and hint lines, the advice after a failure under
    // fast pacing in the user's language.
    const QString detail = QString::fromStdString(
        frontend::WindowDetail(box.cause, tr(kWindowFastPacingAdvice).toStdString()));
    // Every box the engine shows ends an update or is its last word before the end.
    AskForAttention(session::UpdateNotice(
        (box.type & frontend::kBoxIconError) == frontend::kBoxIconError ? update::Outcome::failed
                                                                         : update::Outcome::ok,
        flashing_ ? flashing_->serial() : std::string(), box.text,
        flashing_ ? flashing_->seconds() : 0));
    boxes_->ShowCaptioned(this, QString::fromStdString(box.text),
                          QString::fromStdString(box.caption), static_cast<int>(box.type), detail);
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

void CVumo_DFU_UtilityDlg::OnUpdateFinished(const update::UpdateResult& result) {
    lastResult_ = result;
    updateActive_ = false;
    watching_ = false;
    // An interrupted update ends without a box: ask for attention here.
    if (result.outcome == update::Outcome::interrupted)
        AskForAttention(session::UpdateNotice(result.outcome, result.serial, result.message,
                                              flashing_ ? flashing_->seconds() : 0));
    flashing_.reset();
    if (result.outcome == update::Outcome::failed) {
        // A failure may have come from a device that left: the window then looks at the bus
        // as it does at a device change, so it never offers a device that is gone.
        devices_.CloseDeparted(
            [this](const frontend::DeviceError& error) { ShowOpenError(error); });
        RefreshDeviceList();
    }
    UpdateControls();
    emit updateFinished();
}

}  // namespace vumo::app
