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
std::atomic<int> gCount{0};  // requests not yet taken

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        std::lock_guard lock(gMutex);
        if (gEvent == nullptr) return FALSE;  // nobody listens: the default ends the process
        gCount.fetch_add(1);
        ::SetEvent(gEvent);
        // For a close the system ends the process once this returns (after its own time
        // limit at most): the command's stop path runs meanwhile on its threads.
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

struct StopRequests::Impl {
    WakeEvent event;
    bool installed = false;
};

StopRequests::StopRequests() : impl_(new Impl) {
    if (!impl_->event) return;
    {
        std::lock_guard lock(gMutex);
        gEvent = impl_->event.waitable().native();
        gCount.store(0);
    }
    impl_->installed = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

StopRequests::~StopRequests() {
    if (impl_->installed) ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    {
        std::lock_guard lock(gMutex);
        if (gEvent == impl_->event.waitable().native()) gEvent = nullptr;
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
