#pragma once
// Ctrl-C and the system's request to end (SIGINT and SIGTERM on Linux; Ctrl-C, Ctrl-Break and
// closing the console window on Windows), taken as events rather than handled where they land,
// so that a command stops or drains through its ordinary path. One per command run.

#include "base/wake_event.h"

namespace vumo::base {

class StopRequests {
public:
    // On Linux the signals are blocked in the calling thread first: make this before any thread
    // starts, so that every thread inherits the mask and none is cut off.
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // False when the system refused (no descriptor or handle left): the command says so.
    bool valid() const;
    // Set while requests wait untaken. Waiting for it or testing it does not take them.
    Waitable ready() const;
    // How many requests came since the last take (0 when none); ready() is clear afterwards
    // until the next one.
    int take();

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace vumo::base
