#include "sim/timer.h"

namespace vumo::sim {

Timer::Timer() : thread_([this] { run(); }) {}

Timer::~Timer() { stop(); }

void Timer::schedule(Clock::time_point at, std::function<void()> action) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        pending_.emplace(std::make_pair(at, nextSeq_++), std::move(action));
    }
    changed_.notify_all();
}

void Timer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Timer::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const auto first = pending_.begin();
        // A copy: wait_until reads the deadline again after waking, and by then the entry may
        // have been removed.
        const Clock::time_point due = first->first.first;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        auto action = std::move(first->second);
        pending_.erase(first);
        lock.unlock();
        action();
        lock.lock();
    }
}

}  // namespace vumo::sim
