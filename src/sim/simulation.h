#pragma once
// A whole simulated machine: the in-process HID bus and the emulated devices that
// --simulate asks for, plugged in from construction on.

#include "platform/sim_hid_bus.h"
#include "sim/device_emulator.h"
#include "sim/sim_bus_port.h"
#include "sim/simulate_options.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace vumo::sim {

class Simulation {
public:
    explicit Simulation(const SimulateOptions& options = {});
    // The devices go first, then the bus. Host objects that use the bus must be gone by then.
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    platform::SimHidBus& bus() { return bus_; }
    DevicePort& port() { return port_; }
    std::size_t deviceCount() const { return devices_.size(); }
    DeviceEmulator& device(std::size_t index) { return *devices_.at(index); }
    const DeviceEmulator& device(std::size_t index) const { return *devices_.at(index); }

private:
    platform::SimHidBus bus_;
    SimBusPort port_{bus_};
    std::vector<std::unique_ptr<DeviceEmulator>> devices_;
};

}  // namespace vumo::sim
