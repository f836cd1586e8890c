#pragma once
// Every message box of the window goes through here, so that its wording, caption and icon
// follow one rule, and so that tests can answer boxes without a user.
//
// Two kinds of box:
//  - the captioned box: a caption and a type given with the text (type 16: error icon and
//    OK; type 0: OK alone, no icon);
//  - the application box: the text alone, the program's file name as caption, a warning icon
//    and OK (a question asks Yes or No the same way).
// A box is modal to its owner and returns when it has been closed. A text's "\r\n" line ends
// are shown as line breaks and recorded as given. Texts are shown as plain text, never as
// markup: they may carry a device's strings, and "<b>x</b>" from a device is shown as such.

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <vector>

namespace vumo::app {

// Message box types, as the captioned box takes them.
inline constexpr int kMbOk = 0x00;
inline constexpr int kMbYesNoCancel = 0x03;
inline constexpr int kMbYesNo = 0x04;
inline constexpr int kMbIconError = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kMbIconWarning = 0x30;
inline constexpr int kMbIconInformation = 0x40;

enum class BoxKind { captioned, application };

struct BoxRecord {
    BoxKind kind = BoxKind::captioned;
    QString text;     // as given, line ends included
    QString detail;   // further explanation under the text, if any
    QString caption;
    int type = kMbOk;
    QStringList labels = {};  // of the buttons other than OK, Yes and No as such
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;  // once closed
};

class MessageBoxes final : public QObject {
    Q_OBJECT
public:
    // `applicationName` is the caption of the application box.
    explicit MessageBoxes(QString applicationName, QObject* parent = nullptr);

    const QString& applicationName() const { return applicationName_; }

    void ShowCaptioned(QWidget* owner, const QString& text, const QString& caption, int type,
                       const QString& detail = {});
    void ShowApplication(QWidget* owner, const QString& text, const QString& detail = {});
    // An application box asking Yes or No, No being the default; true for Yes.
    bool Ask(QWidget* owner, const QString& text, const QString& detail = {});

    // An application box offering two ways on, labelled `yes` and `no`, and Cancel, which is
    // the default and what Escape gives. Returns Yes, No or Cancel.
    QMessageBox::StandardButton Choose(QWidget* owner, const QString& text, const QString& yes,
                                       const QString& no, const QString& detail = {});

    // For tests: the next box is answered with `answer` as soon as it is up. Presets are used
    // in the order given, one per box.
    void PresetNextAnswer(QMessageBox::StandardButton answer);
    // For tests: every box without a preset is answered with its default button at once.
    void SetAnswerAll(bool answerAll) { answerAll_ = answerAll; }
    int presetsLeft() const { return static_cast<int>(presets_.size()); }

    // Every box shown so far, oldest first.
    const std::vector<BoxRecord>& history() const { return history_; }
    void ClearHistory() { history_.clear(); }

    static QMessageBox::Icon IconForType(int type);
    static QMessageBox::StandardButtons ButtonsForType(int type);
    // "\r\n" -> "\n", for showing.
    static QString ForDisplay(const QString& text);

signals:
    // The box is about to come up; its answer is not known yet.
    void boxShown(const vumo::app::BoxRecord& box);
    // The box has been closed; history().back() holds it with its answer.
    void boxClosed(const vumo::app::BoxRecord& box);

private:
    QMessageBox::StandardButton Show(QWidget* owner, BoxRecord record,
                                     QMessageBox::StandardButton defaultButton,
                                     const QString& yesLabel = {}, const QString& noLabel = {});

    QString applicationName_;
    std::deque<QMessageBox::StandardButton> presets_;
    bool answerAll_ = false;
    std::vector<BoxRecord> history_;
};

}  // namespace vumo::app
