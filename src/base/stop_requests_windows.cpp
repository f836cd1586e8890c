#include "base/stop_requests.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace vumo::base {
namespace {

// The console's handler runs on a thread of its own that the system starts; it reaches the
// command only through these.
std::mutex gMutex;
HANDLE gEvent = nullptr;     // the current StopRequests' event, guarded by gMutex
HANDLE gDone = nullptr;      // set when the command has ended, guarded by gMutex
std::atomic<int> gCount{0};  // requests not yet taken

// Windows ends the process once the handler of a closed console returns, and after about five
// seconds in any case: the command's stop path gets what is left of them.
constexpr DWORD kCloseWait = 4500;

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        HANDLE done = nullptr;
        {
            std::lock_guard lock(gMutex);
            if (gEvent == nullptr) return FALSE;  // nobody listens: the default ends us
            gCount.fetch_add(1);
            ::SetEvent(gEvent);
            if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) done = gDone;
        }
        // Ctrl-C: the command goes on to its stop path. A close: hold the end off until the
        // command has stopped, within the system's limit.
        if (done != nullptr) ::WaitForSingleObject(done, kCloseWait);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

struct StopRequests::Impl {
    WakeEvent event;
    // Lives as long as the process: a handler may still wait on it while a command ends.
    HANDLE done = DoneEvent();
    bool installed = false;

    static HANDLE DoneEvent() {
        static const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return done;
    }
};

StopRequests::StopRequests() : impl_(new Impl) {
    if (!impl_->event || impl_->done == nullptr) return;
    ::ResetEvent(impl_->done);
    {
        std::lock_guard lock(gMutex);
        gEvent = impl_->event.waitable().native();
        gDone = impl_->done;
        gCount.store(0);
    }
    impl_->installed = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

StopRequests::~StopRequests() {
    // A handler waiting for a close goes on now, and lets the system end the process.
    if (impl_->done != nullptr) ::SetEvent(impl_->done);
    if (impl_->installed) ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    {
        std::lock_guard lock(gMutex);
        if (gEvent == impl_->event.waitable().native()) {
            gEvent = nullptr;
            gDone = nullptr;
        }
    }
    delete impl_;
}

bool StopRequests::valid() const { return impl_->event.valid() && impl_->installed; }

Waitable StopRequests::ready() const { return impl_->event.waitable(); }

int StopRequests::take() {
    std::lock_guard lock(gMutex);
    impl_->event.clear();
    return gCount.exchange(0);
}

}  // namespace vumo::base
