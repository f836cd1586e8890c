#include "update/device_watcher.h"

#include "platform/start_thread.h"
#include "update/update_procedure.h"

#include <cstdint>

namespace vumo::update {

void ForwardDeviceChange(UpdateProcedure& procedure, const platform::HotplugMonitor::Event& event,
                         const std::function<void()>& refresh,
                         const std::function<void(std::uint8_t)>& closed) {
    if (event.action == platform::HotplugMonitor::Action::arrival) {
        refresh();
        procedure.OnDeviceArrival();
    } else {
        const std::uint8_t result = procedure.OnDeviceRemoval(event.path);
        if (result != 0 && closed) closed(result);
    }
    refresh();
}

void ForwardDeviceChange(UpdateProcedure& procedure,
                         const platform::HotplugMonitor::Event& event) {
    ForwardDeviceChange(procedure, event, [] {});
}

DeviceWatcher::DeviceWatcher(platform::HotplugMonitor& monitor, Handler handler,
                             Recovery recovery)
    : monitor_(&monitor), handler_(std::move(handler)), recovery_(std::move(recovery)) {
    std::string why;
    if (!stop_) {
        error_ = "the system has no event left to stop the device watcher with";
    } else if (!platform::StartNamedThread("device watcher", thread_, [this] { Run(); }, &why)) {
        error_ = "the thread that watches device arrivals and removals could not be started: " +
                 why;
    }
}

DeviceWatcher::~DeviceWatcher() {
    stop_.signal();
    if (thread_.joinable()) thread_.join();
}

void DeviceWatcher::Run() {
    const auto notice = [this](const std::string& text) {
        if (recovery_.notice) recovery_.notice(text);
    };
    // Failures with no event in between: a monitor that fails as soon as it is made is not
    // made again and again.
    int failuresInARow = 0;
    for (;;) {
        const base::Waitable waits[2] = {stop_.waitable(), monitor_->ready()};
        // No time limit is needed: the stop event ends the wait at once.
        const int woken = base::WaitAny(waits);
        if (woken == 0) return;
        if (woken != 1) {
            notice("Device arrivals and removals are no longer watched: waiting for them failed.");
            return;
        }
        if (waits[1].failed()) {
            auto next = recovery_.makeMonitor && failuresInARow < 3 ? recovery_.makeMonitor()
                                                                   : nullptr;
            if (!next) {
                notice("The device monitor failed and could not be restarted: arrivals and "
                       "removals are no longer seen.");
                return;
            }
            ++failuresInARow;
            replacement_ = std::move(next);
            monitor_ = replacement_.get();
            notice("The device monitor failed (the system may have dropped device events); it "
                   "was restarted and the devices are looked at again.");
            handler_({platform::HotplugMonitor::Action::arrival, {}});
            continue;
        }
        for (const auto& event : monitor_->takeEvents()) {
            failuresInARow = 0;
            handler_(event);
        }
    }
}

}  // namespace vumo::update
