#pragma once
// Wake-ups of a running process, read from outside it: every thread's voluntary and
// involuntary context switches in /proc/PID/task/TID/status. Reading them costs the process
// nothing, so the measured program is not disturbed by being measured.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

namespace vumo::bench {

struct SwitchCount {
    std::uint64_t voluntary = 0;
    std::uint64_t involuntary = 0;
    std::uint64_t total() const { return voluntary + involuntary; }
};

// The two counters of one status file; nullopt when either line is missing.
std::optional<SwitchCount> ParseSwitchCount(std::string_view statusText);

// Every thread of `pid` (threads that end while they are being read are left out).
using ThreadSwitches = std::map<pid_t, SwitchCount>;
ThreadSwitches ReadThreadSwitches(pid_t pid);

struct WakeDelta {
    std::uint64_t switches = 0;  // all threads, between the two snapshots
    int threads = 0;             // threads seen in the second snapshot
    int started = 0;             // threads that were not there at the first (counted whole)
    int ended = 0;               // threads that were gone at the second (their share is lost)
};

// The switches made between `before` and `after`. A thread that started in between counts with
// all of its switches.
WakeDelta Difference(const ThreadSwitches& before, const ThreadSwitches& after);

}  // namespace vumo::bench
