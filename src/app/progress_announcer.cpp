#include "app/progress_announcer.h"

#include <QAccessible>
#include <QProgressBar>

#include <algorithm>

namespace vumo::app {
namespace {

// Accessibility runs on the window's thread only, as every widget does.
std::vector<ProgressAnnouncer*>& Announcers() {
    static std::vector<ProgressAnnouncer*> announcers;
    return announcers;
}
QAccessible::UpdateHandler previousHandler = nullptr;
bool installed = false;

}  // namespace

ProgressAnnouncer::ProgressAnnouncer(QProgressBar* bar) : QObject(bar), bar_(bar) {
    if (!installed) {
        previousHandler = QAccessible::installUpdateHandler(&ProgressAnnouncer::Filter);
        installed = true;
    }
    Announcers().push_back(this);
    // Direct: the bar tells its listeners before it tells assistive technology.
    connect(bar, &QProgressBar::valueChanged, this, &ProgressAnnouncer::OnValueChanged,
            Qt::DirectConnection);
}

ProgressAnnouncer::~ProgressAnnouncer() {
    auto& all = Announcers();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

int ProgressAnnouncer::TenthOf(int value, int minimum, int maximum) {
    if (maximum <= minimum) return 0;
    const long long done = std::clamp(value, minimum, maximum) - static_cast<long long>(minimum);
    return static_cast<int>(done * 10 / (static_cast<long long>(maximum) - minimum));
}

void ProgressAnnouncer::OnValueChanged(int value) {
    const int tenth = TenthOf(value, bar_->minimum(), bar_->maximum());
    // A new range (a new update) starts the count again.
    if (bar_->maximum() != lastMaximum_ || tenth < lastTenth_) lastTenth_ = -1;
    lastMaximum_ = bar_->maximum();
    letThrough_ = tenth != lastTenth_;
    if (!letThrough_) return;
    lastTenth_ = tenth;
    announced_.push_back(value);
}

void ProgressAnnouncer::Filter(QAccessibleEvent* event) {
    if (event->type() == QAccessible::ValueChanged) {
        for (ProgressAnnouncer* announcer : Announcers()) {
            if (event->object() != announcer->bar_) continue;
            if (!announcer->letThrough_) return;  // within the same tenth: not announced
            announcer->letThrough_ = false;
        }
    }
    if (previousHandler != nullptr) {
        previousHandler(event);
        return;
    }
    // No handler before ours: the platform's own delivery, reached with ours out of the way.
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(&ProgressAnnouncer::Filter);
}

}  // namespace vumo::app
