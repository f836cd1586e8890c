#pragma once
// Brings HID arrivals and removals to an update for front ends without an event loop of their
// own (the command line, tests): a thread waits on the hot-plug monitor and on a stop event, and
// hands each event on. The window uses its own event loop instead.

#include "base/wake_event.h"
#include "platform/hid_bus.h"

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vumo::update {

class UpdateProcedure;

// What a front end does at a device change: refresh (its list, if it has one; while a mode
// switch is pending the window moves its bar instead), hand an arrival or a removal to the
// procedure, and refresh once more. `closed` hears the close result of a removal that closed an
// object.
void ForwardDeviceChange(UpdateProcedure& procedure, const platform::HotplugMonitor::Event& event,
                         const std::function<void()>& refresh,
                         const std::function<void(std::uint8_t)>& closed = {});
// The same for a front end without a list.
void ForwardDeviceChange(UpdateProcedure& procedure, const platform::HotplugMonitor::Event& event);

class DeviceWatcher {
public:
    using Handler = std::function<void(const platform::HotplugMonitor::Event&)>;
    // The monitor must outlive the watcher. The handler runs on the watcher's thread.
    DeviceWatcher(platform::HotplugMonitor& monitor, Handler handler);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    // False when the watching thread could not be started; error() says why.
    bool running() const { return thread_.joinable(); }
    const std::string& error() const { return error_; }
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

private:
    void Run();

    platform::HotplugMonitor& monitor_;
    Handler handler_;
    base::WakeEvent stop_;
    std::string error_;
    std::thread thread_;
};

}  // namespace vumo::update
