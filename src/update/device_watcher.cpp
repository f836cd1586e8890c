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

DeviceWatcher::DeviceWatcher(platform::HotplugMonitor& monitor, Handler handler)
    : monitor_(monitor), handler_(std::move(handler)) {
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
    for (;;) {
        const base::Waitable waits[2] = {stop_.waitable(), monitor_.ready()};
        // No time limit is needed: the stop event ends the wait at once.
        if (base::WaitAny(waits) != 1) return;
        for (const auto& event : monitor_.takeEvents()) handler_(event);
    }
}

}  // namespace vumo::update
