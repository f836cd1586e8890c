#pragma once
// What every back end's cancellable reader keeps beside its handles: how many reads are in
// progress, and whether the reader has been cancelled or has seen its device leave. Both are
// sticky: once either is set, every later read returns at once without touching the handles.
// close() waits here until the reads in progress have left, so no handle goes from under one.

#include "platform/hid_bus.h"

#include <condition_variable>
#include <mutex>
#include <optional>

namespace vumo::platform {

class ReadGate {
public:
    // Before a read: the result it ends with at once, or nothing when it may go on (it then
    // counts as in progress until Leave).
    std::optional<ReadResult> Enter() {
        std::lock_guard lock(mutex_);
        if (cancelled_) return ReadResult{ReadStatus::cancelled, 0};
        if (gone_) return ReadResult{ReadStatus::gone, 0};
        ++activeReads_;
        return std::nullopt;
    }

    // After a read that Enter let go on: remembers a cancel or a departure it ended with, and
    // wakes a close that waits for it.
    ReadResult Leave(const ReadResult& result) {
        {
            std::lock_guard lock(mutex_);
            --activeReads_;
            if (result.status == ReadStatus::cancelled) cancelled_ = true;
            if (result.status == ReadStatus::gone) gone_ = true;
        }
        idle_.notify_all();
        return result;
    }

    // Marks the reader cancelled and runs `wake` (which makes a read in progress leave at
    // once) under the same lock, so that no read can enter between the two.
    template <class Wake>
    void Cancel(Wake&& wake) {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        wake();
    }

    // Cancel, then wait until every read in progress has left; the caller may then release
    // the handles.
    template <class Wake>
    void CancelAndWaitIdle(Wake&& wake) {
        std::unique_lock lock(mutex_);
        cancelled_ = true;
        wake();
        idle_.wait(lock, [&] { return activeReads_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    int activeReads_ = 0;     // guarded by mutex_
    bool cancelled_ = false;  // guarded by mutex_; sticky
    bool gone_ = false;       // guarded by mutex_; sticky
};

}  // namespace vumo::platform
