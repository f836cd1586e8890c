#include "base/stop_requests.h"

#include "base/unique_fd.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vumo::base {

struct StopRequests::Impl {
    UniqueFd fd;
};

StopRequests::StopRequests() : impl_(new Impl) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    impl_->fd.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

StopRequests::~StopRequests() { delete impl_; }

bool StopRequests::valid() const { return impl_->fd.valid(); }

Waitable StopRequests::ready() const { return Waitable::FromNative(impl_->fd.get()); }

int StopRequests::take() {
    int count = 0;
    signalfd_siginfo info;
    while (impl_->fd && ::read(impl_->fd.get(), &info, sizeof info) == sizeof info) ++count;
    return count;
}

}  // namespace vumo::base
