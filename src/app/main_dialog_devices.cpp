// The main window's device list and its open/close button: the list refreshed from both
// device objects, the rule that enables the controls, arrivals and removals.

#include "app/main_dialog.h"

#include "app/file_drop.h"
#include "app/main_dialog_parts.h"
#include "app/progress_announcer.h"
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

void CVumo_DFU_UtilityDlg::RegisterDeviceNotifications() {
    monitor_ = bus_.monitor();
    if (!monitor_) return;  // without a monitor the list follows only the buttons
    notifier_ = new QSocketNotifier(monitor_->ready().native(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this,
            &CVumo_DFU_UtilityDlg::OnMonitorReadable);
}

void CVumo_DFU_UtilityDlg::OnMonitorReadable() {
    if (!monitor_) return;
    const auto events = monitor_->takeEvents();
    for (const auto& event : events) {
        if (shutDown_) break;  // a box shown meanwhile may have closed the window
        OnDeviceChange(event.action, event.path);
    }
}

std::uint8_t CVumo_DFU_UtilityDlg::openMode() const { return devices_.openMode(); }

DeviceEntry CVumo_DFU_UtilityDlg::deviceEntry(int line) const { return devices_.entry(line); }

void CVumo_DFU_UtilityDlg::RefreshDeviceList() {
    if (shutDown_) return;
    if (!devices_.Refresh()) {
        // The device is away after its mode switch: the list keeps showing it.
        ProgressStep();
        return;
    }
    deviceCombo_->clear();
    for (const std::string& line : devices_.lines())
        deviceCombo_->addItem(QString::fromStdString(line));
    deviceCombo_->setCurrentIndex(0);

    // A device without the udev rule's permissions is left out of the list; say why it is
    // missing instead of showing an empty list without a word.
    const int denied = devices_.denied();
    if (denied > 0) {
        deviceCombo_->setPlaceholderText(
            denied == 1 ? tr("1 device found, but access is denied")
                        : tr("%1 devices found, but access is denied").arg(denied));
        deniedToolTip_ = tr("This user may not open %1 of the devices: %2.")
                             .arg(denied)
                             .arg(QString::fromUtf8(platform::describe(
                                 platform::OpenStatus::permissionDenied)));
    } else {
        deviceCombo_->setPlaceholderText({});
        deniedToolTip_.clear();
    }
    UpdateListToolTip();
}

void CVumo_DFU_UtilityDlg::UpdateListToolTip() {
    // The whole line, which the closed list may cut, and why devices are missing, if any are.
    QStringList parts;
    if (deviceCombo_->currentIndex() >= 0) parts << deviceCombo_->currentText();
    if (!deniedToolTip_.isEmpty()) parts << deniedToolTip_;
    deviceCombo_->setToolTip(parts.join(QLatin1Char('\n')));
}

void CVumo_DFU_UtilityDlg::UpdateControls() {
    if (shutDown_) return;
    UpdateData(true);
    const frontend::ControlStates s = frontend::ControlRule(
        {openMode(), deviceCombo_->count(), filePath_.isEmpty(), UpdateRunning(), watching_});
    deviceOpenButton_->setText(FromView(s.closeCaption ? frontend::kCloseDeviceCaption
                                                       : frontend::kOpenDeviceCaption));
    deviceCombo_->setEnabled(s.list);
    deviceOpenButton_->setEnabled(s.open);
    updateButton_->setEnabled(s.update);
    browseButton_->setEnabled(s.browse);
    closeButton_->setEnabled(s.close);
    pathEdit_->setReadOnly(s.pathReadOnly);
}

void CVumo_DFU_UtilityDlg::ShowOpenError(const frontend::DeviceError& error) {
    boxes_->ShowApplication(this, QString::asprintf("Open Error (code : %d)", error.code),
                            QString::fromStdString(messages::DetailText(error.cause)));
}

void CVumo_DFU_UtilityDlg::OnDeviceOpenClicked() {
    if (shutDown_) return;
    devices_.OpenOrClose(deviceCombo_->currentIndex(),
                         [this](const frontend::DeviceError& error) { ShowOpenError(error); });
    UpdateControls();
}

void CVumo_DFU_UtilityDlg::OnDeviceChange(platform::HotplugMonitor::Action action,
                                          const std::string& path) {
    if (shutDown_) return;
    update::ForwardDeviceChange(
        *devices_.procedure(), {action, path}, [this] { RefreshDeviceList(); },
        [this](std::uint8_t result) { ShowOpenError({result, {}}); });
    UpdateControls();
    emit deviceChangeHandled();
}

}  // namespace vumo::app
