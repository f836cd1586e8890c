#pragma once
// A whole simulated machine: the in-process HID bus and the emulated devices that
// --simulate asks for, plugged in from construction on. With arrive=SECONDS one more device is
// plugged in after each interval, by a timer thread of the simulation's own, until
// kMaxSimulatedDevices are there.

#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/simulate_options.h"
#include "sim/timer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace vumo::sim {

class Simulation {
public:
    explicit Simulation(const SimulateOptions& options = {});
    // Stops the arrivals (joining their thread), then the devices go, newest first, then the
    // bus. Host objects that use the bus must be gone by then.
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    sim::SimHidBus& bus() { return bus_; }
    platform::DevicePort& port() { return bus_; }
    // Devices so far, in the order they came; with arrive= the count grows on another thread.
    // A device, once there, stays until the simulation goes. An arriving device is on the bus
    // (and its arrival reported) a moment before it is counted here.
    std::size_t deviceCount() const;
    DeviceEmulator& device(std::size_t index);
    const DeviceEmulator& device(std::size_t index) const;
    // Until there are `count` devices; false at the deadline.
    bool waitForDevices(std::size_t count, std::chrono::steady_clock::time_point deadline) const;

private:
    void add();
    void scheduleArrival();

    const SimulateOptions options_;
    sim::SimHidBus bus_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<DeviceEmulator>> devices_;
    // With arrive= only; its thread is the only one that adds devices after construction.
    std::unique_ptr<Timer> arrivals_;
    Timer::Clock::time_point nextArrival_;  // used on the arrivals thread only
};

}  // namespace vumo::sim
