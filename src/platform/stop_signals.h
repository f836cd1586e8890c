#pragma once
// What stops a command-line run from outside, as events rather than as the end of the process:
// Ctrl-C and a request to terminate ("stops"), and the terminal or session going away (a
// "hang-up"). A write to a closed pipe or terminal fails with an error the writer handles,
// instead of ending the program in the middle of a flash.
//
// One per process, made before any thread starts (every thread then leaves these events to
// it). The events are waited for through base::WaitAny beside others.
//
// Linux: SIGINT and SIGTERM are stops, SIGHUP a hang-up. Windows: Ctrl-C and Ctrl-Break are
// stops; closing the console window, logging off and shutting down are hang-ups (the console
// and its reader are gone), or stops when hang-ups are not events of their own.

#include "base/wake_event.h"

#include <memory>

namespace vumo::platform {

class StopSignals {
public:
    // With `hangUps` a hang-up is an event of its own (Take() counts it apart); without, it is
    // ignored: the run goes on to its end with its output going nowhere.
    explicit StopSignals(bool hangUps = false);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // False when the events can't be had; the caller says so and ends.
    bool ok() const;
    // Set while an event is waiting to be taken.
    base::Waitable ready() const;

    struct Taken {
        int stops = 0;
        int hangUps = 0;
    };
    // The events that arrived since the last call; never waits.
    Taken Take();
    // Whether an event is waiting (it stays waiting).
    bool Pending() const;
    // Waits for a stop, or a hang-up when they are events.
    void WaitForStop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vumo::platform
