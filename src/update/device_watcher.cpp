#include "update/device_watcher.h"

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
    thread_ = std::thread([this] { Run(); });
}

DeviceWatcher::~DeviceWatcher() {
    const std::uint64_t one = 1;
    if (stopFd_ >= 0) {
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    }
    thread_.join();
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
