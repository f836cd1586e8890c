#pragma once
// An in-process HID bus. Test code, the demo and the device emulator attach virtual devices to
// it; the program sees them through the same HidBus interface as real hidraw devices, with the
// same rules: one writer at a time, reports kept for the next read, arrivals and removals
// reported to every monitor.

#include "platform/hid_bus.h"

#include <memory>
#include <span>
#include <string>

namespace vumo::platform {

// The device's side of the bus.
class VirtualHidDevice {
public:
    virtual ~VirtualHidDevice() = default;
    // Called on the writing thread, with no lock of the bus held, for every output report the
    // host writes (byte 0 is the report ID). The device may call back into the bus from here.
    virtual void onOutputReport(std::span<const std::uint8_t> report) = 0;
};

struct VirtualDeviceDescription {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product;
    std::string serial;
    std::string manufacturer;
    ReportLengths lengths;
    std::string port;  // where it is plugged in; see HidInterfaceInfo::port
};

class SimHidBus final : public HidBus {
public:
    SimHidBus();
    ~SimHidBus() override;
    SimHidBus(const SimHidBus&) = delete;
    SimHidBus& operator=(const SimHidBus&) = delete;

    // Plugs a device in and returns its path. Nodes are numbered as the kernel numbers hidraw
    // nodes: the lowest free number, so a device that arrives after a removal may get the node
    // that the removed one had. A writer or reader opened before the removal stays with the
    // removed device (gone), as an open file of a node does.
    std::string attach(const VirtualDeviceDescription& description,
                       std::shared_ptr<VirtualHidDevice> device);
    // Unplugs the device: open readers see `gone`, writes fail. Unknown paths are ignored.
    void detach(const std::string& path);
    // Delivers one input report (byte 0 = report ID) to every open reader of the path; false
    // when the device is not on the bus.
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report);
    // Makes opening the path fail as a node without the udev rule's permissions does.
    void setPermissionDenied(const std::string& path, bool denied);
    // How many output reports have been written to the path (for tests).
    std::size_t writeCount(const std::string& path) const;

    std::vector<HidInterfaceInfo> enumerate() override;
    ProbeResult probe(const std::string& path) override;
    Opened<HidWriter> openWriter(const std::string& path) override;
    Opened<HidReader> openReader(const std::string& path) override;
    std::unique_ptr<HotplugMonitor> monitor() override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace vumo::platform
