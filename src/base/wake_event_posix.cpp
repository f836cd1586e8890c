#include "base/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace vumo::base {

bool Waitable::valid() const { return native_ >= 0; }

bool Waitable::isSet() const {
    if (!valid()) return false;
    pollfd p{native_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLNVAL) == 0;
}

int WaitAny(std::span<const Waitable> waitables, std::optional<std::chrono::milliseconds> timeout) {
    std::vector<pollfd> fds;
    fds.reserve(waitables.size());
    bool any = false;
    for (const Waitable& w : waitables) {
        // A negative descriptor is skipped by poll() and keeps the indices aligned.
        fds.push_back({w.native(), POLLIN, 0});
        any = any || w.valid();
    }
    if (!any && !timeout) return kWaitFailed;
    const auto deadline = std::chrono::steady_clock::now() +
                          timeout.value_or(std::chrono::milliseconds(0));
    for (;;) {
        int ms = -1;
        if (timeout) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                left.count(), 0, std::numeric_limits<int>::max()));
        }
        const int n = ::poll(fds.data(), fds.size(), ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return kWaitFailed;
        }
        if (n == 0) return kWaitTimedOut;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLNVAL) != 0) return kWaitFailed;
            if (fds[i].revents != 0) return static_cast<int>(i);
        }
    }
}

WakeEvent::WakeEvent()
    : waitable_(Waitable::FromNative(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) {}

WakeEvent::~WakeEvent() { close(); }

void WakeEvent::signal() const {
    if (!valid()) return;
    // The counter saturates long before a write could block.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(waitable_.native(), &one, sizeof one);
}

void WakeEvent::clear() const {
    if (!valid()) return;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(waitable_.native(), &count, sizeof count);
}

bool WakeEvent::close() {
    const int fd = waitable_.native();
    waitable_ = Waitable();
    // Released even when close() reports an error: a retry could close a reused number.
    return fd < 0 || ::close(fd) == 0;
}

}  // namespace vumo::base
