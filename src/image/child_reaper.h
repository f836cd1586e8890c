#pragma once
// Takes over children that were sent SIGKILL but had not ended when their runner stopped
// waiting for them, and reaps them in the background.
//
// SIGKILL ends a process only once it leaves the kernel: one stuck in an uninterruptible wait
// (I/O on a hung network file system, a device that does not answer) dies when that wait ends,
// which may take minutes. The runner waits a short, bounded time and then hands such a child
// over here rather than block its owner or forget it (a forgotten child stays a zombie for the
// life of the program). Whatever the reaper still holds when the program exits is inherited
// and reaped by init.
//
// One background thread, started when the first child is handed over and ended (and joined at
// the next hand-over or at exit) when none is left. It waits on the children's process
// descriptors where the kernel has them, each wait bounded, and never on any other child than
// those it was given.

#include "base/event_fd.h"
#include "base/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace vumo::image {

class ChildReaper {
public:
    static ChildReaper& Instance();

    ChildReaper();
    ~ChildReaper();  // stops and joins the thread; children still held are left to init
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    // Takes over `pid`, a child of this process that has been sent SIGKILL. `pidFd` may be
    // invalid (kernels before 5.3).
    void Adopt(pid_t pid, base::UniqueFd pidFd);
    // Children handed over and not reaped yet.
    std::size_t Pending() const;
    // Waits until none is pending, at most `limit`; true when none is.
    bool WaitUntilIdle(std::chrono::milliseconds limit);

private:
    struct Orphan {
        pid_t pid;
        base::UniqueFd pidFd;
    };
    void Run();
    void ReapEndedLocked();

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<Orphan> orphans_;
    base::EventFd wake_;  // a hand-over or the stop request
    std::thread thread_;
    bool running_ = false;   // the thread is in Run()
    bool stopping_ = false;
};

}  // namespace vumo::image
