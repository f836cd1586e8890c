#pragma once
// What the files of the main window share: the template's fixed texts and small conversions.
// Only for src/app/main_dialog*.cpp.

#include <QString>

#include <string_view>

namespace vumo::app::dialog_parts {

inline constexpr const char* kControlIdProperty = "controlId";

// What the window says instead of the engine's advice after a failure under fast pacing:
// frontend::kWindowFastPacingAdvice, marked here for translation.
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

}  // namespace vumo::app::dialog_parts
