// Windows: the console's control events, taken by a handler that the system runs on a thread of
// its own; it reaches the command only through an event and two counters.

#include "platform/stop_signals.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace vumo::platform {
namespace {

std::mutex gMutex;
HANDLE gEvent = nullptr;        // the current StopSignals' event, guarded by gMutex
bool gHangUps = false;          // whether a closed console is a hang-up, guarded by gMutex
std::atomic<int> gStops{0};     // not yet taken
std::atomic<int> gHangUpCount{0};
HANDLE gDone = nullptr;         // set when the command has ended, guarded by gMutex

// Windows ends the process once the handler of a closed console returns, and after about five
// seconds in any case: the command's stop path gets what is left of them.
constexpr DWORD kCloseWait = 4500;

// Lives as long as the process: a handler may still wait on it while a command ends.
HANDLE DoneEvent() {
    static const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return done;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    bool hangUp = false;
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        hangUp = true;
        break;
    default:
        return FALSE;
    }
    HANDLE done = nullptr;
    {
        std::lock_guard lock(gMutex);
        if (gEvent == nullptr) return FALSE;  // nobody listens: the default ends the process
        // Without hang-ups as events a closed console is a stop: the system ends the process
        // once this returns (after its own time limit at most), so going on unseen is not
        // possible here.
        if (hangUp && gHangUps)
            gHangUpCount.fetch_add(1);
        else
            gStops.fetch_add(1);
        ::SetEvent(gEvent);
        if (hangUp) done = gDone;
    }
    // Ctrl-C: the command goes on to its stop path. A close: hold the end off until the command
    // has stopped (its devices drained and logged), within the system's limit.
    if (done != nullptr) ::WaitForSingleObject(done, kCloseWait);
    return TRUE;
}

}  // namespace

struct StopSignals::State {
    base::WakeEvent event;
    bool installed = false;
};

StopSignals::StopSignals(bool hangUps) : state_(std::make_unique<State>()) {
    if (!state_->event || DoneEvent() == nullptr) return;
    ::ResetEvent(DoneEvent());
    {
        std::lock_guard lock(gMutex);
        gDone = DoneEvent();
        gEvent = state_->event.waitable().native();
        gHangUps = hangUps;
        gStops.store(0);
        gHangUpCount.store(0);
    }
    state_->installed = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

StopSignals::~StopSignals() {
    // A handler waiting for a close goes on now, and lets the system end the process.
    if (DoneEvent() != nullptr) ::SetEvent(DoneEvent());
    if (state_->installed) ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    std::lock_guard lock(gMutex);
    if (gEvent == state_->event.waitable().native()) {
        gEvent = nullptr;
        gDone = nullptr;
    }
}

bool StopSignals::ok() const { return state_->event.valid() && state_->installed; }

base::Waitable StopSignals::ready() const { return state_->event.waitable(); }

StopSignals::Taken StopSignals::Take() {
    std::lock_guard lock(gMutex);
    // Cleared before the counters are taken, under the handler's lock: an event that comes
    // after this sets it again.
    state_->event.clear();
    Taken taken;
    taken.stops = gStops.exchange(0);
    taken.hangUps = gHangUpCount.exchange(0);
    return taken;
}

bool StopSignals::Pending() const { return state_->event.isSet(); }

void StopSignals::WaitForStop() {
    const base::Waitable waits[1] = {state_->event.waitable()};
    for (;;) {
        if (base::WaitAny(waits) != 0) return;
        const Taken taken = Take();
        if (taken.stops > 0 || taken.hangUps > 0) return;
    }
}

}  // namespace vumo::platform
