#pragma once
// Brings HID arrivals and removals to an update for front ends without an event loop of their
// own (the command line, tests): a thread waits on the hot-plug monitor and on a stop event, and
// hands each event on. The window uses its own event loop instead.

#include "base/wake_event.h"
#include "platform/hid_bus.h"

#include <cstdint>
#include <functional>
#include <memory>
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
    // What to do when the monitor fails (the kernel dropped events: a burst of devices switching
    // at once overflows the udev socket). Without it the watcher ends, after a notice.
    struct Recovery {
        // A new monitor; null when none can be had.
        std::function<std::unique_ptr<platform::HotplugMonitor>()> makeMonitor;
        // One sentence for the user, on the watcher's thread.
        std::function<void(const std::string&)> notice;
    };
    // The monitor must outlive the watcher. The handler runs on the watcher's thread. When the
    // monitor fails, the watcher makes a new one, says so, and hands on an arrival with an
    // empty path: events may have been lost, look at the bus again.
    DeviceWatcher(platform::HotplugMonitor& monitor, Handler handler, Recovery recovery = {});
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    // False when the watching thread could not be started; error() says why.
    bool running() const { return thread_.joinable(); }
    const std::string& error() const { return error_; }
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

private:
    void Run();

    platform::HotplugMonitor* monitor_;
    std::unique_ptr<platform::HotplugMonitor> replacement_;  // made after a failure
    Handler handler_;
    Recovery recovery_;
    base::WakeEvent stop_;
    std::string error_;
    std::thread thread_;
};

}  // namespace vumo::update
