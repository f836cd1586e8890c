#include "sim/simulation.h"

#include <algorithm>

namespace vumo::sim {

Simulation::Simulation(const SimulateOptions& options) : options_(options) {
    const int count = std::clamp(options.devices, 1, kMaxSimulatedDevices);
    devices_.reserve(static_cast<std::size_t>(kMaxSimulatedDevices));
    for (int i = 0; i < count; ++i) add();
    if (options.arriveEvery && count < kMaxSimulatedDevices) {
        nextArrival_ = Timer::Clock::now();
        arrivals_ = std::make_unique<Timer>();
        scheduleArrival();
    }
}

Simulation::~Simulation() {
    // First, so that no device arrives while the others go. Stopped (joined) before it is
    // released: a running arrival still reads arrivals_ to schedule the next.
    if (arrivals_) arrivals_->stop();
    arrivals_.reset();
    // Newest first, so the bus sees the removals in the reverse order of the arrivals.
    for (;;) {
        std::unique_ptr<DeviceEmulator> last;
        {
            std::lock_guard lock(mutex_);
            if (devices_.empty()) break;
            last = std::move(devices_.back());
            devices_.pop_back();
        }
    }
}

std::size_t Simulation::deviceCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

DeviceEmulator& Simulation::device(std::size_t index) {
    std::lock_guard lock(mutex_);
    return *devices_.at(index);
}

const DeviceEmulator& Simulation::device(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return *devices_.at(index);
}

bool Simulation::waitForDevices(std::size_t count,
                                std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return devices_.size() >= count; });
}

// Only the constructor and then the arrivals thread add, so the index can't change meanwhile.
// The device is made outside the lock: it plugs itself in, and the bus may call back.
void Simulation::add() {
    const int index = static_cast<int>(deviceCount());
    auto device = std::make_unique<DeviceEmulator>(bus_, MakeEmulatorConfig(options_, index));
    {
        std::lock_guard lock(mutex_);
        devices_.push_back(std::move(device));
    }
    changed_.notify_all();
}

// Intervals counted from construction, so slow arrivals do not push the later ones back.
void Simulation::scheduleArrival() {
    nextArrival_ += *options_.arriveEvery;
    arrivals_->schedule(nextArrival_, [this] {
        add();
        if (deviceCount() < static_cast<std::size_t>(kMaxSimulatedDevices)) scheduleArrival();
    });
}

}  // namespace vumo::sim
