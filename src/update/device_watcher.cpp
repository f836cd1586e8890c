#include "update/device_watcher.h"

#include "platform/start_thread.h"
#include "update/update_procedure.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vumo::update {

void ForwardDeviceChange(UpdateProcedure& procedure,
                         const platform::HotplugMonitor::Event& event) {
    if (event.action == platform::HotplugMonitor::Action::arrival) {
        procedure.RefreshWhileSwitching();
        procedure.OnDeviceArrival();
    } else {
        procedure.OnDeviceRemoval(event.path);
    }
    procedure.RefreshWhileSwitching();
}

DeviceWatcher::DeviceWatcher(platform::HotplugMonitor& monitor, Handler handler)
    : monitor_(monitor), handler_(std::move(handler)), stopFd_(::eventfd(0, EFD_CLOEXEC)) {
    std::string why;
    if (stopFd_ < 0) {
        error_ = "no descriptor is left to stop the device watcher with";
    } else if (!platform::StartNamedThread("device watcher", thread_, [this] { Run(); }, &why)) {
        error_ = "the thread that watches device arrivals and removals could not be started: " +
                 why;
    }
}

DeviceWatcher::~DeviceWatcher() {
    const std::uint64_t one = 1;
    if (stopFd_ >= 0) {
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    if (stopFd_ >= 0) ::close(stopFd_);
}

void DeviceWatcher::Run() {
    // Without a stop descriptor the watcher could not be ended; it then does nothing.
    if (stopFd_ < 0) return;
    for (;;) {
        pollfd fds[2] = {{monitor_.fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        // No time limit is needed: the stop descriptor ends the wait at once.
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        for (const auto& event : monitor_.takeEvents()) handler_(event);
    }
}

}  // namespace vumo::update
