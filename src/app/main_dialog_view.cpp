// The main window's view: the controls built from the template, their colours, the version
// line, the window's size limits and the data exchange between the controls and the members.

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
    // The status line is ours: it takes no focus and no place in the tab order.
    statusLine_ = new QLabel(this);
    statusLine_->setObjectName(QStringLiteral("statusLine"));
    statusLine_->setTextFormat(Qt::PlainText);
    statusLine_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const PixelRect status =
        ToPixels(kStatusLineXDu, kStatusLineYDu, kStatusLineWidthDu, kStatusLineHeightDu);
    statusLine_->setGeometry(status.x, status.y, status.width, status.height);
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
    describe(statusLine_, tr("Update status"),
             tr("What the update is doing now, and how the last one ended."));
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

}  // namespace vumo::app
