#include "app/message_boxes.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QTimer>

namespace vumo::app {

MessageBoxes::MessageBoxes(QString applicationName, QObject* parent)
    : QObject(parent), applicationName_(std::move(applicationName)) {}

QMessageBox::Icon MessageBoxes::IconForType(int type) {
    switch (type & 0xF0) {
        case kMbIconError: return QMessageBox::Critical;
        case kMbIconQuestion: return QMessageBox::Question;
        case kMbIconWarning: return QMessageBox::Warning;
        case kMbIconInformation: return QMessageBox::Information;
        default: return QMessageBox::NoIcon;
    }
}

QMessageBox::StandardButtons MessageBoxes::ButtonsForType(int type) {
    switch (type & 0x0F) {
        case 0x01: return QMessageBox::Ok | QMessageBox::Cancel;
        case kMbYesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case kMbYesNo: return QMessageBox::Yes | QMessageBox::No;
        default: return QMessageBox::Ok;
    }
}

QString MessageBoxes::ForDisplay(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

void MessageBoxes::PresetNextAnswer(QMessageBox::StandardButton answer) {
    presets_.push_back(answer);
}

void MessageBoxes::ShowCaptioned(QWidget* owner, const QString& text, const QString& caption,
                                 int type, const QString& detail) {
    const auto buttons = ButtonsForType(type);
    Show(owner, {BoxKind::captioned, text, detail, caption, type},
         buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
}

void MessageBoxes::ShowApplication(QWidget* owner, const QString& text, const QString& detail) {
    Show(owner, {BoxKind::application, text, detail, applicationName_, kMbOk | kMbIconWarning},
         QMessageBox::Ok);
}

bool MessageBoxes::Ask(QWidget* owner, const QString& text, const QString& detail) {
    return Show(owner, {BoxKind::application, text, detail, applicationName_,
                        kMbYesNo | kMbIconWarning},
                QMessageBox::No) == QMessageBox::Yes;
}

QMessageBox::StandardButton MessageBoxes::Choose(QWidget* owner, const QString& text,
                                                 const QString& yes, const QString& no,
                                                 const QString& detail) {
    return Show(owner, {BoxKind::application, text, detail, applicationName_,
                        kMbYesNoCancel | kMbIconQuestion},
                QMessageBox::Cancel, yes, no);
}

QMessageBox::StandardButton MessageBoxes::Show(QWidget* owner, BoxRecord record,
                                               QMessageBox::StandardButton defaultButton,
                                               const QString& yesLabel, const QString& noLabel) {
    record.icon = IconForType(record.type);
    record.buttons = ButtonsForType(record.type);

    QMessageBox box(record.icon, record.caption, ForDisplay(record.text), record.buttons, owner);
    box.setTextFormat(Qt::PlainText);
    if (!record.detail.isEmpty()) box.setInformativeText(ForDisplay(record.detail));
    // The detail's label takes markup by default whatever the text format says.
    for (QLabel* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
    if (!yesLabel.isEmpty()) box.button(QMessageBox::Yes)->setText(yesLabel);
    if (!noLabel.isEmpty()) box.button(QMessageBox::No)->setText(noLabel);
    for (QAbstractButton* button : box.buttons()) {
        const auto which = box.standardButton(button);
        if (which == QMessageBox::Yes && !yesLabel.isEmpty()) record.labels << yesLabel;
        if (which == QMessageBox::No && !noLabel.isEmpty()) record.labels << noLabel;
    }
    box.setDefaultButton(defaultButton);
    box.setEscapeButton(record.buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
                        : record.buttons.testFlag(QMessageBox::No)   ? QMessageBox::No
                                                                     : QMessageBox::Ok);

    QMessageBox::StandardButton preset = QMessageBox::NoButton;
    if (!presets_.empty()) {
        preset = presets_.front();
        presets_.pop_front();
    } else if (answerAll_) {
        preset = defaultButton;
    }
    if (preset != QMessageBox::NoButton) {
        // Answered from inside the box's own modal loop, as a user would answer it.
        QPointer<QMessageBox> guard(&box);
        QTimer::singleShot(0, &box, [guard, preset] {
            if (!guard) return;
            if (QAbstractButton* button = guard->button(preset)) {
                button->click();
            } else {
                guard->done(preset);
            }
        });
    }

    emit boxShown(record);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    record.answer = clicked != nullptr ? box.standardButton(clicked)
                                       : static_cast<QMessageBox::StandardButton>(box.result());
    history_.push_back(record);
    emit boxClosed(history_.back());
    return record.answer;
}

}  // namespace vumo::app
