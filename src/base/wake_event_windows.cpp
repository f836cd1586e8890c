#include "base/wake_event.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace vumo::base {

bool Waitable::valid() const { return native_ != nullptr; }

bool Waitable::isSet() const {
    return valid() && ::WaitForSingleObject(native_, 0) == WAIT_OBJECT_0;
}

int WaitAny(std::span<const Waitable> waitables, std::optional<std::chrono::milliseconds> timeout) {
    // WaitForMultipleObjects takes no empty handles: wait on the valid ones and map back.
    std::vector<HANDLE> handles;
    std::vector<int> index;
    for (std::size_t i = 0; i < waitables.size(); ++i) {
        if (!waitables[i].valid()) continue;
        handles.push_back(waitables[i].native());
        index.push_back(static_cast<int>(i));
    }
    if (handles.size() > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
    if (handles.empty()) {
        if (!timeout) return kWaitFailed;
        ::Sleep(static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(timeout->count(), 0)));
        return kWaitTimedOut;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          timeout.value_or(std::chrono::milliseconds(0));
    for (;;) {
        DWORD ms = INFINITE;
        if (timeout) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            // INFINITE is 0xFFFFFFFF: stay one below it, and wait again if that was not enough.
            ms = static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(
                left.count(), 0, INFINITE - 1));
        }
        const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                 handles.data(), FALSE, ms);
        if (r < WAIT_OBJECT_0 + handles.size()) return index[r - WAIT_OBJECT_0];
        if (r != WAIT_TIMEOUT) return kWaitFailed;
        if (timeout && std::chrono::steady_clock::now() >= deadline) return kWaitTimedOut;
    }
}

WakeEvent::WakeEvent()
    : waitable_(Waitable::FromNative(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

WakeEvent::~WakeEvent() { close(); }

void WakeEvent::signal() const {
    if (valid()) ::SetEvent(waitable_.native());
}

void WakeEvent::clear() const {
    if (valid()) ::ResetEvent(waitable_.native());
}

bool WakeEvent::close() {
    HANDLE h = waitable_.native();
    waitable_ = Waitable();
    return h == nullptr || ::CloseHandle(h) != 0;
}

}  // namespace vumo::base
