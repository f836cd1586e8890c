#pragma once
// A progress bar that a screen reader announces at most every tenth of its range. The bar
// itself moves at every block (the window shows each one), and Qt tells assistive technology of
// every move; a screen reader that speaks each of 1024 blocks is useless. The announcer lets
// the bar's value changes through to assistive technology only when the value enters a new
// tenth of the range (and at its ends), and drops the others.
//
// The filter is one process-wide accessibility update handler, installed with the first
// announcer; events of other objects pass through unchanged, to the handler that was there
// before or to the platform.

#include <QObject>

#include <vector>

class QAccessibleEvent;
class QProgressBar;

namespace vumo::app {

class ProgressAnnouncer final : public QObject {
public:
    // Watches `bar` (and is its child) from now on.
    explicit ProgressAnnouncer(QProgressBar* bar);
    ~ProgressAnnouncer() override;
    ProgressAnnouncer(const ProgressAnnouncer&) = delete;
    ProgressAnnouncer& operator=(const ProgressAnnouncer&) = delete;

    // The values passed on to assistive technology so far, oldest first.
    const std::vector<int>& announced() const { return announced_; }

    // The tenth of [minimum, maximum] that `value` is in: 0 to 10.
    static int TenthOf(int value, int minimum, int maximum);

private:
    void OnValueChanged(int value);
    static void Filter(QAccessibleEvent* event);

    QProgressBar* bar_;
    int lastTenth_ = -1;
    int lastMaximum_ = 0;
    bool letThrough_ = false;  // the next value change of the bar is to be announced
    std::vector<int> announced_;
};

}  // namespace vumo::app
