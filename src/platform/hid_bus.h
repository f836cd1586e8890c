#pragma once
// The operating system's HID services, as the rest of the program sees them. Nothing here knows
// about our device: a bus lists HID interfaces, opens them, and reports arrivals and removals.
// Back ends: Linux (libudev + hidraw), Windows (SetupDi + hid.dll) and an in-process simulated
// bus; the front ends choose one in frontend/bus_choice.cpp.

#include "base/wake_event.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vumo::platform {

// One HID interface present on the bus. Strings are UTF-8, empty when the device has none.
struct HidInterfaceInfo {
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product;
    std::string serial;
    std::string manufacturer;
    // Where the device is plugged in, stable across its re-enumeration after a mode switch or
    // restart: the USB device's bus-port path (e.g. "1-1.2"), or the HID physical path on buses
    // without one; empty when the platform knows neither.
    std::string port;
    // This appearance of the node: differs between two devices (or two modes of one device) that
    // are given the same path in turn, as the kernel does with hidraw numbers. Empty where paths
    // are never reused (each path then names one appearance).
    std::string instance = {};
};

// Report lengths as Windows counts them: the longest report of each kind plus one byte for the
// report ID, which is counted whether or not the device numbers its reports.
struct ReportLengths {
    std::uint16_t input = 0;
    std::uint16_t output = 0;
};

enum class OpenStatus {
    ok,
    gone,              // the path no longer exists
    permissionDenied,  // the node exists but this user may not open it (udev rule missing)
    busy,              // another writer holds the device
    failed,            // anything else
};

const char* describe(OpenStatus status);

// What a probe learns: whether the interface can be opened the way a probe opens it, and its
// report lengths.
struct ProbeResult {
    OpenStatus status = OpenStatus::failed;
    ReportLengths lengths;
};

struct WriteResult {
    bool ok = false;           // the platform reported success
    std::size_t written = 0;   // bytes the platform took
};

enum class ReadStatus {
    report,     // one input report is in the buffer
    timeout,    // nothing arrived within the limit
    cancelled,  // cancel() was called, before or during the read
    gone,       // the device has left the bus
    failed,
};

struct ReadResult {
    ReadStatus status = ReadStatus::failed;
    std::size_t length = 0;  // bytes placed in the buffer, report ID included
};

// The write side of an open interface. Holding one excludes every other writer and probe,
// in this process and in others.
class HidWriter {
public:
    virtual ~HidWriter() = default;
    // Writes one whole output report; byte 0 is the report ID (0 for unnumbered reports).
    virtual WriteResult write(std::span<const std::uint8_t> report) = 0;
    // Releases the handle; false when the platform reported a failure. Idempotent.
    virtual bool close() = 0;
};

// The read side of an open interface. Reports that arrive while no read is pending are kept
// for the next read, as the kernel's hidraw buffer does.
class HidReader {
public:
    virtual ~HidReader() = default;
    // Waits at most `timeout` for one input report and places it in `buffer` with the report ID
    // in byte 0 (0 for unnumbered reports, whose ID the kernel does not deliver). A report longer
    // than the buffer is cut to it.
    virtual ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) = 0;
    // Any thread: ends a read in progress at once; every later read returns `cancelled`.
    virtual void cancel() = 0;
    virtual bool close() = 0;
};

template <class Handle>
struct Opened {
    OpenStatus status = OpenStatus::failed;
    std::unique_ptr<Handle> handle;  // set only when status is ok
};

// Arrival and removal of any HID interface. ready() is set while events wait; a front end waits
// for it (base::WaitAny, or hands its native object to its event loop) and then takes the events.
class HotplugMonitor {
public:
    enum class Action { arrival, removal };
    struct Event {
        Action action;
        std::string path;
        // The appearance that arrived or left (HidInterfaceInfo::instance); empty when the bus
        // doesn't tell. A removal handled late may be of a node's previous occupant.
        std::string instance = {};
    };
    virtual ~HotplugMonitor() = default;
    virtual base::Waitable ready() const = 0;
    // Never blocks; returns the events that waited, oldest first.
    virtual std::vector<Event> takeEvents() = 0;
};

class HidBus {
public:
    virtual ~HidBus() = default;
    // Every present HID interface, in a stable order (the same devices give the same order).
    virtual std::vector<HidInterfaceInfo> enumerate() = 0;
    // Opens the interface briefly for writing, shared with other probes but not with a writer,
    // and reads its report lengths.
    virtual ProbeResult probe(const std::string& path) = 0;
    // Exclusive writer: fails with `busy` while another writer holds the interface.
    virtual Opened<HidWriter> openWriter(const std::string& path) = 0;
    virtual Opened<HidReader> openReader(const std::string& path) = 0;
    // A monitor of arrivals and removals from now on; null when the platform can't give one.
    virtual std::unique_ptr<HotplugMonitor> monitor() = 0;
};

}  // namespace vumo::platform
