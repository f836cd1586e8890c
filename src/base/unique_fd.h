#pragma once
// One owned file descriptor, closed exactly once: by the destructor, reset(), close() or
// assignment.

#include <unistd.h>

#include <utility>

namespace vumo::base {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) { CloseOnce(std::exchange(fd_, fd)); }
    // True when nothing was open or ::close succeeded.
    bool close() { return CloseOnce(release()); }

private:
    // The descriptor is released even when close() reports an error (EINTR included): its
    // state is then unspecified, and a retry could close a number already reused elsewhere.
    static bool CloseOnce(int fd) { return fd < 0 || ::close(fd) == 0; }

    int fd_ = -1;
};

}  // namespace vumo::base
