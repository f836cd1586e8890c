#include "app/caret_blink.h"

#include <QApplication>
#include <QEvent>

namespace vumo::app {

CaretBlinkLimit::CaretBlinkLimit(std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), flashTime_(QApplication::cursorFlashTime()) {
    idle_.setSingleShot(true);
    idle_.setInterval(timeout);
    connect(&idle_, &QTimer::timeout, this, &CaretBlinkLimit::Stop);
    QApplication::instance()->installEventFilter(this);
    // A flash time of 0 already means no blinking: nothing to limit.
    if (flashTime_ > 0) idle_.start();
}

CaretBlinkLimit::~CaretBlinkLimit() {
    if (stopped_) QApplication::setCursorFlashTime(flashTime_);
}

void CaretBlinkLimit::Stop() {
    stopped_ = true;
    // The line edits follow the style hint's change at once: the caret stays shown.
    QApplication::setCursorFlashTime(0);
}

bool CaretBlinkLimit::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::Wheel:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
            if (flashTime_ > 0) {
                if (stopped_) {
                    stopped_ = false;
                    QApplication::setCursorFlashTime(flashTime_);
                }
                idle_.start();
            }
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vumo::app
