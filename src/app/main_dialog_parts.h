#pragma once
// What the files of the main window share: the template's fixed texts and small conversions.
// Only for src/app/main_dialog*.cpp.

#include "hid/hid_device.h"
#include "text/utf8.h"

#include <QString>

#include <algorithm>
#include <string>
#include <string_view>

namespace vumo::app::dialog_parts {

inline constexpr const char* kControlIdProperty = "controlId";

inline const QString kWarningText =
    QStringLiteral("Warning:\r\nDo not turn off the power during updating the firmware.");
inline const QString kOpenDeviceCaption = QStringLiteral("Open Device");
inline const QString kCloseDeviceCaption = QStringLiteral("Close Device");

// The engine's advice when an update under fast pacing fails, and what the window says instead.
inline constexpr const char* kEngineFastPacingAdvice = "try again with --pacing standard.";
inline constexpr const char* kWindowFastPacingAdvice = QT_TRANSLATE_NOOP(
    "vumo::app::CVumo_DFU_UtilityDlg",
    "close the window and start the utility again without --pacing fast: it then keeps the "
    "standard pauses that some loaders need.");

inline QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Shown labels break lines at "\n"; the members keep the "\r\n" they were given.
inline QString ToMemberText(const QString& shown) {
    QString text = shown;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text;
}

// A device string for a line of the list: shown as plain text always, and with its control
// characters written out, so that a line stays one line whatever the device sent.
inline QString ShownDeviceString(const std::string& value) {
    return QString::fromStdString(text::TerminalSafe(value));
}

inline int CountDenied(const hid::HidDevice& object) {
    const auto skipped = object.skipped();
    return static_cast<int>(std::count_if(skipped.begin(), skipped.end(), [](const auto& s) {
        return s.why == platform::OpenStatus::permissionDenied;
    }));
}

}  // namespace vumo::app::dialog_parts
