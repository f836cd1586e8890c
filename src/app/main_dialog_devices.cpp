// The main window's device list and its open/close button: the list refreshed from both
// device objects, the rule that enables the controls, arrivals and removals.

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

std::uint8_t CVumo_DFU_UtilityDlg::openMode() const {
    return procedure_ ? procedure_->openMode() : 0;
}

DeviceEntry CVumo_DFU_UtilityDlg::deviceEntry(int line) const {
    if (line < 0 || line >= deviceEntryCount_) return {};
    return deviceEntries_[static_cast<std::size_t>(line)];
}

void CVumo_DFU_UtilityDlg::RefreshDeviceList() {
    if (shutDown_) return;
    // Each object's list is taken in one piece right after its enumeration: the update worker
    // may enumerate the same object meanwhile, and a count from one enumeration with entries
    // from another would give lines without a device behind them.
    appDevice_->EnumerateDevices();
    const std::vector<hid::DeviceListEntry> apps = appDevice_->list();
    dfuDevice_->EnumerateDevices();
    const std::vector<hid::DeviceListEntry> dfus = dfuDevice_->list();
    if (procedure_->RefreshWhileSwitching()) {
        ProgressStep();
        return;
    }

    const int a = static_cast<int>(apps.size());
    const int d = static_cast<int>(dfus.size());
    deviceEntryCount_ = std::min(a + d, kMaxDeviceEntries);
    deviceCombo_->clear();
    for (int i = 0; i < deviceEntryCount_; ++i) {
        const bool application = i < a;
        const int index = application ? i : i - a;
        const hid::DeviceListEntry& entry =
            application ? apps[static_cast<std::size_t>(index)] : dfus[static_cast<std::size_t>(index)];
        deviceEntries_[static_cast<std::size_t>(i)] = {
            application ? protocol::kModeApplication : protocol::kModeUpdate,
            static_cast<std::uint8_t>(index)};
        listedDevices_[static_cast<std::size_t>(i)] = entry;
        deviceCombo_->addItem(ShownDeviceString(entry.product) + QStringLiteral(": ") +
                              ShownDeviceString(entry.serial));
    }
    deviceCombo_->setCurrentIndex(0);

    // A device without the udev rule's permissions is left out of the list; say why it is
    // missing instead of showing an empty list without a word.
    const int denied = CountDenied(*appDevice_) + CountDenied(*dfuDevice_);
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
    const std::uint8_t mode = openMode();
    if (mode != 0) {
        updateButton_->setEnabled(false);
        deviceCombo_->setEnabled(false);
        deviceOpenButton_->setEnabled(true);
        deviceOpenButton_->setText(kCloseDeviceCaption);
        if (!filePath_.isEmpty()) updateButton_->setEnabled(true);
    } else {
        updateButton_->setEnabled(false);
        deviceCombo_->setEnabled(true);
        deviceOpenButton_->setEnabled(true);
        deviceOpenButton_->setText(kOpenDeviceCaption);
    }
    // Opening needs a line to open; closing needs none: a device that is open stays closable
    // even when the list no longer shows it.
    deviceOpenButton_->setEnabled(deviceCombo_->count() > 0 || mode != 0);
    if (UpdateRunning()) {
        deviceOpenButton_->setEnabled(false);
        deviceCombo_->setEnabled(false);
        updateButton_->setEnabled(false);
        browseButton_->setEnabled(false);
        closeButton_->setEnabled(false);
    } else {
        browseButton_->setEnabled(true);
        closeButton_->setEnabled(true);
    }
    // While the engine watches for the restarted device it can't take another update; the
    // watch ends within its limit, and UpdateControls runs again then.
    if (watching_) updateButton_->setEnabled(false);
    // The update reads the file it was started with: the path can't change under it.
    pathEdit_->setReadOnly(UpdateRunning());
}

void CVumo_DFU_UtilityDlg::ShowOpenError(std::uint8_t code, const messages::Cause& cause) {
    boxes_->ShowApplication(this, QString::asprintf("Open Error (code : %d)", code),
                            QString::fromStdString(messages::DetailText(cause)));
}

void CVumo_DFU_UtilityDlg::OnDeviceOpenClicked() {
    if (shutDown_) return;
    const std::uint8_t mode = openMode();
    if (mode == 0) {
        const int line = deviceCombo_->currentIndex();
        if (line >= 0 && line < deviceEntryCount_) {
            const DeviceEntry e = deviceEntries_[static_cast<std::size_t>(line)];
            hid::HidDevice* object = nullptr;
            if (e.mode == protocol::kModeApplication) object = appDevice_.get();
            if (e.mode == protocol::kModeUpdate) object = dfuDevice_.get();
            if (object != nullptr) {
                // The device of the line the user saw, even if the object's list has moved
                // since; never whatever now stands at that index.
                messages::Cause cause;
                const std::uint8_t result = frontend::OpenListed(
                    *object, listedDevices_[static_cast<std::size_t>(line)], cause);
                if (result != hid::kOpenOk) {
                    ShowOpenError(result, cause);
                } else {
                    const hid::DeviceListEntry& opened =
                        listedDevices_[static_cast<std::size_t>(line)];
                    openDevice_ = {opened.serial, opened.port};
                    procedure_->setOpenMode(e.mode);
                }
            }
        }
    } else {
        std::uint8_t result = 0;
        if (mode == protocol::kModeApplication) result = appDevice_->Close();
        if (mode == protocol::kModeUpdate) result = dfuDevice_->Close();
        if (result != 0) ShowOpenError(result, {});
        procedure_->setOpenMode(0);
    }
    UpdateControls();
}

void CVumo_DFU_UtilityDlg::OnDeviceChange(platform::HotplugMonitor::Action action,
                                          const std::string& path) {
    if (shutDown_) return;
    update::ForwardDeviceChange(
        *procedure_, {action, path}, [this] { RefreshDeviceList(); },
        [this](std::uint8_t result) { ShowOpenError(result, {}); });
    UpdateControls();
    emit deviceChangeHandled();
}

void CVumo_DFU_UtilityDlg::CloseDepartedDevice() {
    const std::uint8_t mode = openMode();
    hid::HidDevice* object = mode == protocol::kModeApplication ? static_cast<hid::HidDevice*>(appDevice_.get())
                             : mode == protocol::kModeUpdate    ? dfuDevice_.get()
                                                                : nullptr;
    if (object == nullptr || !object->isOpen()) return;
    const std::string path = object->openPath();
    const auto present = bus_.enumerate();
    if (std::any_of(present.begin(), present.end(),
                    [&path](const platform::HidInterfaceInfo& i) { return i.path == path; }))
        return;
    // As a removal closes the open device: a failed close is told, and the device stays
    // recorded as open so that the button can close it again.
    const std::uint8_t result = object->Close();
    if (result != 0) {
        ShowOpenError(result, {});
        return;
    }
    procedure_->setOpenMode(0);
}

}  // namespace vumo::app
