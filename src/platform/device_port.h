#pragma once
// How a device gets onto a bus, seen from the device. Whatever plays a device (the emulator, the
// player of a recording) is written against this small port and knows nothing else about the
// bus: the in-process SimHidBus is one port, /dev/uhid (a real kernel device) another.

#include "platform/hid_bus.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vumo::platform {

// What the host sees of a device before it opens it.
struct DeviceDescription {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product;
    std::string serial;
    std::string manufacturer;
    // Longest report of each kind, report ID byte included (Windows counts it that way).
    ReportLengths lengths;
    std::string port;  // where it is plugged in, kept across mode switches and restarts
};

// The device's ear: receives every output report the host writes to one attachment.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Called on whatever thread the port delivers on (for the simulated bus: the host's writing
    // thread), with no lock of the port held, so the sink may call back into the port.
    // Byte 0 is the report ID.
    virtual void onOutputReport(std::span<const std::uint8_t> report) = 0;
};

class DevicePort {
public:
    virtual ~DevicePort() = default;
    // Plugs a device in and returns its path; empty when the port could not create it. The port
    // keeps the sink until the device is detached; a write already on its way may still reach
    // the sink just after detach() returns, so the sink must tell stale reports apart itself.
    virtual std::string attach(const DeviceDescription& description,
                               std::shared_ptr<OutputSink> sink) = 0;
    // Unplugs the device; unknown paths are ignored.
    virtual void detach(const std::string& path) = 0;
    // Sends one input report (byte 0 = report ID) to the host; false when the device is not on
    // the bus.
    virtual bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) = 0;
};

}  // namespace vumo::platform
