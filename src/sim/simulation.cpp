#include "sim/simulation.h"

#include <algorithm>

namespace vumo::sim {

Simulation::Simulation(const SimulateOptions& options) {
    const int count = std::clamp(options.devices, 1, kMaxSimulatedDevices);
    devices_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        devices_.push_back(std::make_unique<DeviceEmulator>(port_, MakeEmulatorConfig(options, i)));
}

Simulation::~Simulation() {
    // Newest first, so the bus sees the removals in the reverse order of the arrivals.
    while (!devices_.empty()) devices_.pop_back();
}

}  // namespace vumo::sim
