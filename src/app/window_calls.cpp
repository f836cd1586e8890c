#include "app/window_calls.h"

#include <QMetaObject>
#include <QThread>

namespace vumo::app {

WindowCalls::WindowCalls(QObject& context)
    : context_(context), state_(std::make_shared<State>()) {}

WindowCalls::~WindowCalls() { Close(); }

void WindowCalls::Close() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
    }
    state_->done.notify_all();
}

bool WindowCalls::closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

void WindowCalls::Run(std::function<void()> call) {
    if (QThread::currentThread() == context_.thread()) {
        call();
        return;
    }
    auto finished = std::make_shared<bool>(false);
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closed) return;
    }
    // The state is shared with the queued call, which may run (or be dropped) after this
    // caller was released.
    QMetaObject::invokeMethod(
        &context_,
        [state = state_, finished, call = std::move(call)] {
            bool run = false;
            {
                std::lock_guard lock(state->mutex);
                run = !state->closed;
            }
            if (run) call();
            {
                std::lock_guard lock(state->mutex);
                *finished = true;
            }
            state->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state_->mutex);
    state_->done.wait(lock, [&] { return *finished || state_->closed; });
}

}  // namespace vumo::app
