#pragma once
// The procedure's fixed pauses go through a pacer, so that tests run a whole conversation in
// milliseconds while the product keeps the pauses the device may rely on. Every pause ends
// early when the procedure is asked to stop.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>

namespace vumo::update {

// How an update is paced. `standard` keeps every fixed pause (10 ms around each command and
// block, ten seconds after the device's return), which a loader may rely on. `fast` makes no
// fixed pause: each step follows the device's answer to the one before, and after its return
// the device is asked READY? every 250 ms until it answers (for at most the same ten seconds).
enum class Pacing { standard, fast };
const char* PacingName(Pacing pacing);
std::optional<Pacing> ParsePacing(std::string_view name);

class Pacer {
public:
    explicit Pacer(Pacing pacing = Pacing::standard) : pacing_(pacing) {}
    virtual ~Pacer() = default;
    Pacing pacing() const { return pacing_; }
    // Pauses for `duration`; returns false when a stop request ended it early.
    virtual bool Pause(std::chrono::milliseconds duration) = 0;
    // Ends every pause in progress and every later one at once.
    virtual void Stop() = 0;

private:
    const Pacing pacing_;
};

// Real time.
class RealPacer final : public Pacer {
public:
    explicit RealPacer(Pacing pacing = Pacing::standard) : Pacer(pacing) {}
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
    explicit CountingPacer(Pacing pacing = Pacing::standard) : Pacer(pacing) {}
    bool Pause(std::chrono::milliseconds duration) override {
        total_ += duration.count();
        ++count_;
        return !stop_.load();
    }
    void Stop() override { stop_ = true; }
    std::chrono::milliseconds total() const { return std::chrono::milliseconds(total_.load()); }
    long long count() const { return count_.load(); }  // pauses asked for

private:
    std::atomic<long long> total_{0};
    std::atomic<long long> count_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace vumo::update
