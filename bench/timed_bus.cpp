#include "timed_bus.h"

namespace vumo::bench {

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TimedSimulation::TimedSimulation(sim::Mode startMode, std::chrono::milliseconds replyDelay) {
    sim::EmulatorConfig config;
    config.startMode = startMode;
    config.returnDelay = std::chrono::milliseconds(0);
    config.faults.replyDelay = replyDelay;
    device_ = std::make_unique<sim::DeviceEmulator>(port_, config);
}

}  // namespace vumo::bench
