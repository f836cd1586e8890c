#include "winapp/window_calls.h"

namespace vumo::winapp {

WindowCalls::WindowCalls() : ownerThread_(GetCurrentThreadId()) {}

WindowCalls::~WindowCalls() { Close(); }

void WindowCalls::Attach(HWND window) {
    std::lock_guard lock(mutex_);
    window_ = window;
}

void WindowCalls::Run(std::function<void()> call) {
    if (GetCurrentThreadId() == ownerThread_) {
        call();
        return;
    }
    auto entry = std::make_shared<Call>();
    entry->function = std::move(call);
    std::unique_lock lock(mutex_);
    if (closed_ || window_ == nullptr) return;
    queue_.push_back(entry);
    // A full message queue (10,000 messages) or a window already gone: the call can't be
    // announced, so it is dropped rather than waited for.
    if (!PostMessageW(window_, kMsgRunCalls, 0, 0)) {
        queue_.pop_back();
        return;
    }
    done_.wait(lock, [&] { return entry->done || closed_; });
}

void WindowCalls::RunQueued() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty() && !closed_) {
        const std::shared_ptr<Call> entry = queue_.front();
        queue_.pop_front();
        // Unlocked while it runs: a box shown by the call runs its own message loop, which
        // may come back here for calls queued meanwhile.
        lock.unlock();
        entry->function();
        lock.lock();
        entry->done = true;
        done_.notify_all();
    }
}

void WindowCalls::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue_.clear();
    }
    done_.notify_all();
}

}  // namespace vumo::winapp
