#pragma once
// The emulator's way onto the in-process simulated bus.

#include "platform/sim_hid_bus.h"
#include "sim/device_port.h"

namespace vumo::sim {

class SimBusPort final : public DevicePort {
public:
    // The bus must outlive the port and every device attached through it.
    explicit SimBusPort(platform::SimHidBus& bus) : bus_(bus) {}

    std::string attach(const DeviceDescription& description,
                       std::shared_ptr<OutputSink> sink) override;
    void detach(const std::string& path) override;
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override;

private:
    platform::SimHidBus& bus_;
};

}  // namespace vumo::sim
