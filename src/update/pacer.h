#pragma once
// The procedure's fixed pauses go through a pacer, so that tests run a whole conversation in
// milliseconds while the product keeps the pauses the device may rely on. Every pause ends
// early when the procedure is asked to stop.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vumo::update {

class Pacer {
public:
    virtual ~Pacer() = default;
    // Pauses for `duration`; returns false when a stop request ended it early.
    virtual bool Pause(std::chrono::milliseconds duration) = 0;
    // Ends every pause in progress and every later one at once.
    virtual void Stop() = 0;
};

// Real time.
class RealPacer final : public Pacer {
public:
    bool Pause(std::chrono::milliseconds duration) override {
        std::unique_lock lock(mutex_);
        return !stopped_.wait_for(lock, duration, [this] { return stop_; });
    }
    void Stop() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
};

// Adds up the pauses instead of making them.
class CountingPacer final : public Pacer {
public:
    bool Pause(std::chrono::milliseconds duration) override {
        total_ += duration.count();
        return !stop_.load();
    }
    void Stop() override { stop_ = true; }
    std::chrono::milliseconds total() const { return std::chrono::milliseconds(total_.load()); }

private:
    std::atomic<long long> total_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace vumo::update
