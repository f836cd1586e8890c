#include "image/child_reaper.h"

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vumo::image {
namespace {

// Each wait of the reaper is bounded; with a process descriptor the child's end wakes it at
// once, without one it looks at this interval.
constexpr int kWaitMsWithDescriptors = 1000;
constexpr int kWaitMsWithout = 100;

// True once `pid` is reaped here or is no child of ours any more (SIGCHLD set to SIG_IGN
// reaps by itself).
bool Reaped(pid_t pid) {
    for (;;) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;
    }
}

}  // namespace

ChildReaper& ChildReaper::Instance() {
    static ChildReaper reaper;
    return reaper;
}

ChildReaper::ChildReaper() = default;

ChildReaper::~ChildReaper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.signal();
    if (thread_.joinable()) thread_.join();
}

void ChildReaper::Adopt(pid_t pid, base::UniqueFd pidFd) {
    if (pid <= 0) return;
    std::lock_guard lock(mutex_);
    orphans_.push_back({pid, std::move(pidFd)});
    if (running_ || stopping_) {
        wake_.signal();
        return;
    }
    // A thread that found nothing left has ended or is about to: it needs no lock to do so.
    if (thread_.joinable()) thread_.join();
    try {
        thread_ = std::thread([this] { Run(); });
        running_ = true;
    } catch (const std::system_error&) {
        // No thread: reap what has ended by now; the rest is tried again at the next
        // hand-over, and left to init at exit at the latest.
        ReapEndedLocked();
    }
}

std::size_t ChildReaper::Pending() const {
    std::lock_guard lock(mutex_);
    return orphans_.size();
}

bool ChildReaper::WaitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return orphans_.empty(); });
}

void ChildReaper::ReapEndedLocked() {
    std::erase_if(orphans_, [](const Orphan& o) { return Reaped(o.pid); });
    if (orphans_.empty()) idle_.notify_all();
}

void ChildReaper::Run() {
    std::vector<pollfd> fds;
    for (;;) {
        int waitMs = kWaitMsWithDescriptors;
        {
            std::lock_guard lock(mutex_);
            ReapEndedLocked();
            if (orphans_.empty() || stopping_) {
                running_ = false;
                return;
            }
            fds.assign(1, {wake_.fd(), POLLIN, 0});
            for (const auto& o : orphans_) {
                if (o.pidFd) fds.push_back({o.pidFd.get(), POLLIN, 0});
                else waitMs = kWaitMsWithout;
            }
        }
        // The descriptors stay open meanwhile: only this thread removes orphans.
        ::poll(fds.data(), fds.size(), waitMs);
        wake_.clear();
    }
}

}  // namespace vumo::image
