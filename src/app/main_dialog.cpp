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

CVumo_DFU_UtilityDlg::CVumo_DFU_UtilityDlg(platform::HidBus& bus, DialogOptions options,
                                           QWidget* parent)
    : QDialog(parent), bus_(bus), options_(std::move(options)) {
    boxes_ = new MessageBoxes(options_.applicationName, this);
    BuildTemplate();
    OnInitDialog();
}

CVumo_DFU_UtilityDlg::~CVumo_DFU_UtilityDlg() { Shutdown(false); }

void CVumo_DFU_UtilityDlg::OnInitDialog() {
    UpdateData(false);
    connect(deviceOpenButton_, &QPushButton::clicked, this,
            &CVumo_DFU_UtilityDlg::OnDeviceOpenClicked);
    connect(browseButton_, &QPushButton::clicked, this, &CVumo_DFU_UtilityDlg::OnBrowseClicked);
    connect(updateButton_, &QPushButton::clicked, this, &CVumo_DFU_UtilityDlg::OnUpdateClicked);
    connect(closeButton_, &QPushButton::clicked, this, &CVumo_DFU_UtilityDlg::OnCloseClicked);
    // A file dropped anywhere on the window, the path field included, fills the path.
    auto* drops = new FileDropFilter([this](const QString& path) { OnFileDropped(path); },
                                     [this] { return !shutDown_ && !UpdateRunning(); }, this);
    drops->Watch(this);
    drops->Watch(pathEdit_);
    connect(pathEdit_, &QLineEdit::returnPressed, this, &CVumo_DFU_UtilityDlg::OnPathConfirmed);
    connect(deviceCombo_, &QComboBox::currentIndexChanged, this,
            &CVumo_DFU_UtilityDlg::UpdateListToolTip);

    std::unique_ptr<update::Pacer> pacer =
        options_.makePacer ? options_.makePacer()
                           : std::make_unique<update::RealPacer>(options_.pacing);
    // After the restart the window watches for the device's return in application mode, as
    // the command line and the station do; nothing before the restart changes with it.
    update::Checks checks;
    checks.confirmBoot = true;
    engineError_ =
        devices_.Start(presenter_, std::move(pacer), options_.limits, options_.pauses, checks);

    warningText_ = FromView(frontend::kWarningText);
    ShowVersion();
    UpdateData(false);
    RegisterDeviceNotifications();
    RefreshDeviceList();
    UpdateControls();

    OnGetMinMaxInfo();
    resize(kInitialWidth, kInitialHeight);

    // The first control that takes the focus by Tab and is enabled gets it.
    for (const TemplateControl& c : kTemplate102) {
        QWidget* widget = control(c.id);
        if (c.tabStop && widget != nullptr && widget->isEnabled()) {
            widget->setFocus();
            break;
        }
    }
}

bool CVumo_DFU_UtilityDlg::UpdateRunning() const {
    return updateActive_ || devices_.uploading();
}

void CVumo_DFU_UtilityDlg::OnCloseClicked() { OnCancel(); }

bool CVumo_DFU_UtilityDlg::MayClose() {
    if (!UpdateRunning()) return true;
    return boxes_->Ask(
        this,
        tr("A firmware update is in progress. Closing the window now stops it and leaves the "
           "device half-written.\r\n\r\nClose anyway?"),
        tr("A half-written device starts in its update loader; run the update again to repair "
           "it."));
}

void CVumo_DFU_UtilityDlg::OnCancel() {
    if (shutDown_) {
        QDialog::reject();
        return;
    }
    if (!MayClose()) return;
    Shutdown(true);
    QDialog::reject();
}

void CVumo_DFU_UtilityDlg::reject() { OnCancel(); }

void CVumo_DFU_UtilityDlg::accept() {
    // Enter outside a push button (in the path, say) would end the program without any of its
    // closing steps, open device and all: it does nothing. Closing is "Close", Escape or the
    // close box, through OnCancel.
}

void CVumo_DFU_UtilityDlg::keyPressEvent(QKeyEvent* event) {
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        // A push button with the focus is pressed by Enter; anywhere else Enter does nothing.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVumo_DFU_UtilityDlg::Shutdown(bool report) {
    if (shutDown_) return;
    shutDown_ = true;
    // Release a worker that waits for this thread before waiting for the worker.
    windowCalls_.Close();
    devices_.Stop();
    delete notifier_;
    notifier_ = nullptr;
    monitor_.reset();
    devices_.Close([this, report](std::uint8_t result) {
        if (report) boxes_->ShowApplication(this, QString::asprintf("Error code = %02u", result));
    });
    redirector_.Close();
    updateActive_ = false;
    flashing_.reset();
}

}  // namespace vumo::app
