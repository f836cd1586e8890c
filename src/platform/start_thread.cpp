#include "platform/start_thread.h"

#include <mutex>
#include <system_error>

namespace vumo::platform {
namespace {

std::mutex hookMutex;
ThreadStartFailure& Hook() {
    static ThreadStartFailure hook;
    return hook;
}

}  // namespace

void SetThreadStartFailureForTesting(ThreadStartFailure hook) {
    std::lock_guard lock(hookMutex);
    Hook() = std::move(hook);
}

bool StartNamedThread(const char* what, std::thread& thread, std::function<void()> body,
                      std::string* error) {
    bool fail = false;
    {
        std::lock_guard lock(hookMutex);
        if (Hook()) fail = Hook()(what);
    }
    try {
        if (fail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error& e) {
        if (error != nullptr) *error = e.code().message();
        return false;
    }
}

bool StartThread(std::thread& thread, std::function<void()> body, std::string* error) {
    return StartNamedThread("thread", thread, std::move(body), error);
}

}  // namespace vumo::platform
