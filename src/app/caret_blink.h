#pragma once
// A text caret blinks on a timer that wakes the program twice a second for as long as the window
// is active, even when nobody is at the machine. Desktops stop the blink after some seconds
// without input and leave the caret shown (GTK after 10 s); this does the same for Qt, and lets
// the caret blink again at the next key press or click.

#include <QObject>
#include <QTimer>

#include <chrono>

namespace vumo::app {

inline constexpr std::chrono::milliseconds kCaretBlinkTimeout{10'000};

class CaretBlinkLimit final : public QObject {
    Q_OBJECT

public:
    // Watches the application's input from now on.
    explicit CaretBlinkLimit(std::chrono::milliseconds timeout = kCaretBlinkTimeout,
                             QObject* parent = nullptr);
    // Leaves the flash time as it found it.
    ~CaretBlinkLimit() override;

    bool blinking() const { return !stopped_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Stop();

    QTimer idle_;
    int flashTime_;
    bool stopped_ = false;
};

}  // namespace vumo::app
