#pragma once
// One owned file descriptor, closed exactly once: by the destructor, reset() or assignment.

#include <unistd.h>

#include <utility>

namespace vumo::image {

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
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        // close() releases the descriptor even when it reports EINTR, so it is never retried.
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

}  // namespace vumo::image
