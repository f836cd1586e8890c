// Linux: the signals are blocked in every thread and read from a signalfd; SIGPIPE is ignored,
// so that a write to a closed pipe returns EPIPE.

#include "platform/stop_signals.h"

#include "base/unique_fd.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace vumo::platform {

struct StopSignals::State {
    base::UniqueFd fd;
};

StopSignals::StopSignals(bool hangUps) : state_(std::make_unique<State>()) {
    ::signal(SIGPIPE, SIG_IGN);
    if (!hangUps) ::signal(SIGHUP, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (hangUps) sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    state_->fd.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

StopSignals::~StopSignals() = default;

bool StopSignals::ok() const { return static_cast<bool>(state_->fd); }

base::Waitable StopSignals::ready() const { return base::Waitable::FromNative(state_->fd.get()); }

StopSignals::Taken StopSignals::Take() {
    Taken taken;
    signalfd_siginfo info;
    while (::read(state_->fd.get(), &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGHUP)
            ++taken.hangUps;
        else
            ++taken.stops;
    }
    return taken;
}

bool StopSignals::Pending() const {
    pollfd p{state_->fd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void StopSignals::WaitForStop() {
    for (;;) {
        pollfd p{state_->fd.get(), POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        const Taken taken = Take();
        if (taken.stops > 0 || taken.hangUps > 0) return;
    }
}

}  // namespace vumo::platform
