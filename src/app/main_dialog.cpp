#include "app/main_dialog.h"

#include "app/file_drop.h"
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

namespace {

constexpr const char* kControlIdProperty = "controlId";

const QString kWarningText =
    QStringLiteral("Warning:\r\nDo not turn off the power during updating the firmware.");
const QString kOpenDeviceCaption = QStringLiteral("Open Device");
const QString kCloseDeviceCaption = QStringLiteral("Close Device");

// The engine's advice when an update under fast pacing fails, and what the window says instead.
constexpr const char* kEngineFastPacingAdvice = "try again with --pacing standard.";
constexpr const char* kWindowFastPacingAdvice = QT_TRANSLATE_NOOP(
    "vumo::app::CVumo_DFU_UtilityDlg",
    "close the window and start the utility again without --pacing fast: it then keeps the "
    "standard pauses that some loaders need.");

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Shown labels break lines at "\n"; the members keep the "\r\n" they were given.
QString ToMemberText(const QString& shown) {
    QString text = shown;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text;
}

// A device string for a line of the list: shown as plain text always, and with its control
// characters written out, so that a line stays one line whatever the device sent.
QString ShownDeviceString(const std::string& value) {
    return QString::fromStdString(text::TerminalSafe(value));
}

int CountDenied(const hid::HidDevice& object) {
    const auto skipped = object.skipped();
    return static_cast<int>(std::count_if(skipped.begin(), skipped.end(), [](const auto& s) {
        return s.why == platform::OpenStatus::permissionDenied;
    }));
}

}  // namespace

CVumo_DFU_UtilityDlg::CVumo_DFU_UtilityDlg(platform::HidBus& bus, DialogOptions options,
                                           QWidget* parent)
    : QDialog(parent), bus_(bus), options_(std::move(options)) {
    boxes_ = new MessageBoxes(options_.applicationName, this);
    BuildTemplate();
    OnInitDialog();
}

CVumo_DFU_UtilityDlg::~CVumo_DFU_UtilityDlg() { Shutdown(false); }

void CVumo_DFU_UtilityDlg::BuildTemplate() {
    setWindowTitle(FromView(kDialogCaption));
    // Caption bar, system menu and close box; no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    QFont dialogFont(FromView(kDialogFontFamily));
    dialogFont.setPixelSize(kDialogFontPixels);
    setFont(dialogFont);

    radioGroup_ = new QButtonGroup(this);
    QWidget* previousTabStop = nullptr;
    std::vector<QLabel*> captions;  // "Path", "Progress", "Device", in template order
    for (const TemplateControl& c : kTemplate102) {
        const QString text = FromView(c.text);
        QWidget* widget = nullptr;
        switch (c.kind) {
            case ControlKind::staticText: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setWordWrap(true);
                if (c.id == kIdWarning) warningLabel_ = label;
                if (c.id == kIdVersion) versionLabel_ = label;
                widget = label;
                break;
            }
            case ControlKind::pushButton: {
                auto* button = new QPushButton(text, this);
                // The template has no default button: Enter must not press one behind the
                // user's back.
                button->setAutoDefault(false);
                button->setDefault(false);
                if (c.id == kIdUpdate) updateButton_ = button;
                if (c.id == kIdBrowse) browseButton_ = button;
                if (c.id == kIdClose) closeButton_ = button;
                if (c.id == kIdDeviceOpen) deviceOpenButton_ = button;
                if (c.id == kIdChangeMode) changeModeButton_ = button;
                widget = button;
                break;
            }
            case ControlKind::progressBar: {
                progressBar_ = new QProgressBar(this);
                progressBar_->setTextVisible(false);
                progressBar_->setRange(0, 100);
                progressBar_->setValue(0);
                widget = progressBar_;
                break;
            }
            case ControlKind::edit: {
                pathEdit_ = new QLineEdit(this);
                widget = pathEdit_;
                break;
            }
            case ControlKind::comboBox: {
                deviceCombo_ = new QComboBox(this);
                deviceCombo_->setEditable(false);
                // The dropped-down list is as tall as the template's 101 units allow.
                deviceCombo_->setMaxVisibleItems(8);
                // Lines drawn as list lines, not as menu entries: the menu's check column and
                // margins would cut "Vumo Update Loader: VUMO-0001" in the dropped-down list,
                // which widens to its lines' width hints (the closed list keeps its width).
                deviceCombo_->setItemDelegate(new QStyledItemDelegate(deviceCombo_));
                widget = deviceCombo_;
                break;
            }
            case ControlKind::radioButton: {
                auto* radio = new QRadioButton(text, this);
                const int index = c.id == kIdRadioDfu ? 0 : 1;
                radioGroup_->addButton(radio, index);
                if (c.id == kIdRadioDfu) radioDfu_ = radio;
                if (c.id == kIdRadioHid) radioHid_ = radio;
                widget = radio;
                break;
            }
        }
        const PixelRect r = PixelRectOf(c);
        widget->setGeometry(r.x, r.y, r.width, r.height);
        widget->setProperty(kControlIdProperty, c.id);
        if (c.id != kIdNone) widget->setObjectName(QStringLiteral("control%1").arg(c.id));
        if (r.y >= kMaximumHeight) {
            // Below everything the window shows at any size: a Tab stop there would put the
            // focus where nobody can see it, on controls that do nothing.
            widget->setFocusPolicy(Qt::NoFocus);
        } else if (c.kind != ControlKind::staticText && c.kind != ControlKind::progressBar) {
            if (c.tabStop) {
                widget->setFocusPolicy(Qt::StrongFocus);
                if (previousTabStop != nullptr) setTabOrder(previousTabStop, widget);
                previousTabStop = widget;
            } else {
                widget->setFocusPolicy(Qt::ClickFocus);
            }
        }
        OnCtlColor(widget, c.id);
        if (c.kind == ControlKind::staticText && c.id == kIdNone)
            captions.push_back(static_cast<QLabel*>(widget));
    }
    DescribeControls(captions);
    progressAnnouncer_ = new ProgressAnnouncer(progressBar_);
}

void CVumo_DFU_UtilityDlg::DescribeControls(const std::vector<QLabel*>& captions) {
    // Names and descriptions for assistive technology. A button's name is its caption, which
    // follows what it does ("Open Device", "Close Device"); a label's is its text.
    const auto describe = [](QWidget* widget, const QString& name, const QString& description) {
        if (!name.isEmpty()) widget->setAccessibleName(name);
        widget->setAccessibleDescription(description);
    };
    describe(warningLabel_, {}, tr("Shown while an update runs: the device must stay powered."));
    describe(updateButton_, {}, tr("Checks the firmware file and uploads it to the open device."));
    describe(progressBar_, tr("Update progress"), tr("How far the firmware update has come."));
    describe(pathEdit_, tr("Firmware file"),
             tr("The path of the firmware file. Type it and press Enter, choose it with Browse, "
                "or drop the file on the window."));
    describe(browseButton_, {}, tr("Chooses the firmware file."));
    describe(closeButton_, {}, tr("Closes the window; an open device is closed first."));
    describe(deviceCombo_, tr("Device"),
             tr("The devices present, those in application mode first. The button beside the "
                "list opens the chosen one."));
    describe(deviceOpenButton_, {}, tr("Opens the chosen device, or closes the open one."));
    describe(versionLabel_, {}, tr("The program's version."));
    for (QWidget* unused : {static_cast<QWidget*>(radioDfu_), static_cast<QWidget*>(radioHid_),
                            static_cast<QWidget*>(changeModeButton_)})
        describe(unused, {}, tr("Not in use; out of view."));
    // The captions name the field beside them.
    const std::array<QWidget*, 3> fields{pathEdit_, progressBar_, deviceCombo_};
    for (std::size_t i = 0; i < captions.size() && i < fields.size(); ++i) {
        captions[i]->setBuddy(fields[i]);
        describe(captions[i], {}, tr("Caption of the field beside it."));
    }
}

QWidget* CVumo_DFU_UtilityDlg::control(int id) const {
    if (id == kIdNone) return nullptr;
    return findChild<QWidget*>(QStringLiteral("control%1").arg(id), Qt::FindDirectChildrenOnly);
}

void CVumo_DFU_UtilityDlg::OnCtlColor(QWidget* control, int id) {
    if (id != kIdWarning) return;
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
    control->setPalette(palette);
}

void CVumo_DFU_UtilityDlg::OnGetMinMaxInfo() {
    setMinimumSize(kInitialWidth, kInitialHeight);
    setMaximumSize(kMaximumWidth, kMaximumHeight);
}

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

    // The device objects first: the worker and the listeners live only while they do.
    dfuDevice_ = std::make_unique<hid::DfuDevice>(bus_);
    appDevice_ = std::make_unique<hid::AppDevice>(bus_);
    std::unique_ptr<update::Pacer> pacer =
        options_.makePacer ? options_.makePacer()
                           : std::make_unique<update::RealPacer>(options_.pacing);
    procedure_ = std::make_unique<update::UpdateProcedure>(
        *appDevice_, *dfuDevice_, static_cast<update::UpdateEvents&>(*this), std::move(pacer),
        options_.limits, options_.pauses);
    if (!procedure_->Start()) engineError_ = procedure_->startError();
    procedure_->setOpenMode(0);

    warningText_ = kWarningText;
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

QString CVumo_DFU_UtilityDlg::GetVersionString(const QString& key) {
    if (key == QLatin1String("FileVersion") || key == QLatin1String("ProductVersion"))
        return QString::fromUtf8(vumo::kFileVersion);
    return {};
}

void CVumo_DFU_UtilityDlg::ShowVersion() {
    versionText_ = QStringLiteral("Version: ") + GetVersionString(QStringLiteral("FileVersion"));
}

bool CVumo_DFU_UtilityDlg::UpdateData(bool fromControls) {
    if (fromControls) {
        filePath_ = pathEdit_->text();
        warningText_ = ToMemberText(warningLabel_->text());
        modeRadio_ = radioGroup_->checkedId();
        versionText_ = versionLabel_->text();
    } else {
        if (pathEdit_->text() != filePath_) pathEdit_->setText(filePath_);
        warningLabel_->setText(MessageBoxes::ForDisplay(warningText_));
        if (QAbstractButton* radio = radioGroup_->button(modeRadio_)) {
            radio->setChecked(true);
        } else {
            radioGroup_->setExclusive(false);
            radioDfu_->setChecked(false);
            radioHid_->setChecked(false);
            radioGroup_->setExclusive(true);
        }
        versionLabel_->setText(versionText_);
    }
    return true;
}

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

bool CVumo_DFU_UtilityDlg::UpdateRunning() const {
    return updateActive_ || (dfuDevice_ && dfuDevice_->updateInProgress.load() != 0);
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

std::unique_ptr<QFileDialog> CVumo_DFU_UtilityDlg::MakeBrowseDialog(QWidget* owner) {
    auto dialog = std::make_unique<QFileDialog>(owner);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // The list shows the descriptions alone; the patterns in the last parentheses are what
    // the dialog filters by.
    dialog->setOption(QFileDialog::HideNameFilterDetails, true);
    const QStringList filters{
        QStringLiteral("DFU file(*.HEX, *.BIN) (*.HEX *.BIN *.hex *.bin)"),
        QStringLiteral("All File(s)(*.*)(*)"),
    };
    dialog->setNameFilters(filters);
    dialog->selectNameFilter(filters.front());
    dialog->selectFile(QStringLiteral("DFU"));
    return dialog;
}

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
    if (shutDown_ || UpdateRunning()) return;
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
    procedure_->StartSecondStage({prepared.prepared, openDevice_, mode});
    // Nothing that would cut the update short stays clickable while it runs.
    if (updateActive_) UpdateControls();
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
    if (procedure_) procedure_->Stop();
    delete notifier_;
    notifier_ = nullptr;
    monitor_.reset();

    const auto close = [this, report](hid::HidDevice* object) {
        if (object == nullptr || !object->isOpen()) return;
        const std::uint8_t result = object->Close();
        if (result != 0 && report)
            boxes_->ShowApplication(this, QString::asprintf("Error code = %02u", result));
    };
    close(dfuDevice_.get());
    close(appDevice_.get());
    // Each destructor joins that object's listener.
    procedure_.reset();
    appDevice_.reset();
    dfuDevice_.reset();
    redirector_.Close();
    updateActive_ = false;
}

// The update's events. Each change of a control is carried out on the window's thread; the
// worker waits for it.

void CVumo_DFU_UtilityDlg::Began(std::uint32_t blocks) {
    SetProgressRange(0, static_cast<int>(blocks) + 30);
}

void CVumo_DFU_UtilityDlg::MilestoneReached(update::Milestone milestone) {
    if (milestone == update::Milestone::settlePass) {
        // While the returned device settles nothing may open, close or start anything.
        EnableOpenButton(false);
        EnableUpdateButton(false);
    }
    ProgressStep();
}

void CVumo_DFU_UtilityDlg::PhaseChanged(update::Phase phase, std::uint32_t block,
                                        std::uint32_t /*blocks*/) {
    if (phase == update::Phase::handshake) EnableOpenButton(false);
    if (phase != update::Phase::uploading) return;
    // The bar's range left 30 positions for the steps before the first block.
    SetProgress(static_cast<int>(block) + 31);
    // The warning blinks in runs of five blocks.
    ShowWarning(block % 10 < 5);
}

void CVumo_DFU_UtilityDlg::UploadClosed() { ShowWarning(true); }

void CVumo_DFU_UtilityDlg::Failed(const update::Failure& failure) {
    ShowBox(failure.message, QStringLiteral("ERROR"), kMbOk | kMbIconError, failure.cause);
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
    windowCalls_.Run([this, shownText = QString::fromStdString(text), caption, type,
                      shownDetail = std::move(shownDetail)] {
        // Every box the engine shows ends an update or is its last word before the end.
        AskForAttention();
        boxes_->ShowCaptioned(this, shownText, caption, type, shownDetail);
    });
}

void CVumo_DFU_UtilityDlg::AskForAttention() {
    if (isActiveWindow()) return;
    ++attentionRequests_;
    QApplication::alert(this);
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

void CVumo_DFU_UtilityDlg::DeviceOpened(const hid::DeviceIdentity& device) {
    // The procedure has opened the update-mode device and set openMode: the button offers to
    // close it and a removal closes it.
    windowCalls_.Run([this, device] {
        openDevice_ = device;
        UpdateControls();
    });
}

void CVumo_DFU_UtilityDlg::Finished(const update::UpdateResult& result) {
    windowCalls_.Run([this, result] {
        lastResult_ = result;
        updateActive_ = false;
        // An interrupted update ends without a box: ask for attention here.
        if (result.outcome == update::Outcome::interrupted) AskForAttention();
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
