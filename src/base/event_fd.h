#pragma once
// An eventfd used as a wake-up flag: signal() makes fd() readable for poll() until clear().
// Non-blocking and close-on-exec. Construction can fail (descriptor limit): check valid().

#include "base/unique_fd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vumo::base {

class EventFd {
public:
    EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    explicit operator bool() const { return valid(); }

    // Safe from any thread and from several at once; the counter saturates long before it
    // could block.
    void signal() const {
        if (!fd_) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_.get(), &one, sizeof one);
    }
    // Makes fd() unreadable again until the next signal(); a signal() racing with it is kept
    // or consumed, never half of each.
    void clear() const {
        if (!fd_) return;
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(fd_.get(), &count, sizeof count);
    }
    bool close() { return fd_.close(); }

private:
    UniqueFd fd_;
};

}  // namespace vumo::base
