#pragma once
// An in-process HID bus. Test code, the demo and the device emulator attach virtual devices to
// it; the program sees them through the same HidBus interface as real hidraw devices, with the
// same rules: one writer at a time, reports kept for the next read, arrivals and removals
// reported to every monitor. It is a DevicePort too, so whatever plays a device plugs in here.
// Its twin for recordings is sim/replay_bus.h; both hand out the readers and monitors of
// in_process_bus.h.

#include "platform/device_port.h"
#include "platform/hid_bus.h"

#include <memory>
#include <span>
#include <string>

namespace vumo::sim {

class SimHidBus final : public platform::HidBus, public platform::DevicePort {
public:
    SimHidBus();
    ~SimHidBus() override;
    SimHidBus(const SimHidBus&) = delete;
    SimHidBus& operator=(const SimHidBus&) = delete;

    // Plugs a device in and returns its path. Nodes are numbered as the kernel numbers hidraw
    // nodes: the lowest free number, so a device that arrives after a removal may get the node
    // that the removed one had. A writer or reader opened before the removal stays with the
    // removed device (gone), as an open file of a node does.
    // The sink is called on the writing thread, with no lock of the bus held.
    std::string attach(const platform::DeviceDescription& description,
                       std::shared_ptr<platform::OutputSink> device) override;
    // Unplugs the device: open readers see `gone`, writes fail. Unknown paths are ignored.
    void detach(const std::string& path) override;
    // Delivers one input report (byte 0 = report ID) to every open reader of the path; false
    // when the device is not on the bus.
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override;
    // Makes opening the path fail as a node without the udev rule's permissions does.
    void setPermissionDenied(const std::string& path, bool denied);
    // How many output reports have been written to the path (for tests).
    std::size_t writeCount(const std::string& path) const;

    std::vector<platform::HidInterfaceInfo> enumerate() override;
    platform::ProbeResult probe(const std::string& path) override;
    platform::Opened<platform::HidWriter> openWriter(const std::string& path) override;
    platform::Opened<platform::HidReader> openReader(const std::string& path) override;
    std::unique_ptr<platform::HotplugMonitor> monitor() override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace vumo::sim
