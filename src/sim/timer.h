#pragma once
// One thread that runs actions at their deadlines, in deadline order (equal deadlines in the
// order they were scheduled). It sleeps on a condition variable until the earliest deadline or
// a new action, so an idle timer never wakes. Actions run without the timer's lock held and may
// schedule further actions.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace vumo::sim {

class Timer {
public:
    using Clock = std::chrono::steady_clock;

    Timer();
    // Stops: pending actions are dropped, a running one is waited for.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Ignored once stop() has begun.
    void schedule(Clock::time_point at, std::function<void()> action);
    // Drops every pending action and joins the thread. Must not be called from an action.
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> pending_;
    std::uint64_t nextSeq_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vumo::sim
