#pragma once
// A HidBus that passes every call on to another bus and tells observers what happened: each
// enumeration, probe, open, close, report written and read, monitor and hot-plug event, with
// the time since the observed bus was made. The report trace (-vv) and the recorder (--record)
// are observers; the program above sees no difference.
//
// Observers are called one at a time, under one lock, with times that never go backwards, so
// an observer needs no lock of its own and its output is in the order things happened. A write
// holds that lock while the report goes out: a reply that the device sends at once is then
// always told after the write that caused it, never before it, which a replay relies on.
// Timeouts of reads are not told (they are the host's own timing, not the device's), and a
// handle that keeps giving the same end status (gone, cancelled, failed) is told it once.

#include "platform/hid_bus.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vumo::platform {

enum class HandleKind { writer, reader };

class BusObserver {
public:
    using Offset = std::chrono::nanoseconds;  // since the observed bus was made
    virtual ~BusObserver() = default;
    virtual void onEnumerate(Offset, const std::vector<HidInterfaceInfo>&) {}
    virtual void onProbe(Offset, const std::string& /*path*/, const ProbeResult&) {}
    // `handle` numbers the handle for later calls; 0 when the open failed.
    virtual void onOpen(Offset, HandleKind, const std::string& /*path*/, OpenStatus,
                        int /*handle*/) {}
    virtual void onClose(Offset, HandleKind, int /*handle*/, const std::string& /*path*/,
                         bool /*ok*/) {}
    virtual void onWrite(Offset, int /*handle*/, const std::string& /*path*/,
                         std::span<const std::uint8_t> /*report*/, const WriteResult&) {}
    // `report` is empty unless status is `report`.
    virtual void onRead(Offset, int /*handle*/, const std::string& /*path*/, ReadStatus,
                        std::span<const std::uint8_t> /*report*/) {}
    // `monitor` numbers the monitors in the order they were asked for, from 1; 0 when none
    // could be made.
    virtual void onMonitor(Offset, int /*monitor*/) {}
    virtual void onHotplug(Offset, int /*monitor*/, HotplugMonitor::Action,
                           const std::string& /*path*/) {}
    // Told by the front end, not by the bus: the firmware file of this run, and its end.
    virtual void onImage(Offset, const std::string& /*sha256*/, std::uint64_t /*size*/) {}
    virtual void onEnd(Offset, int /*exitCode*/) {}
};

class ObservedHidBus final : public HidBus {
public:
    // Neither the inner bus nor the observers are owned; all must outlive this bus and every
    // handle and monitor it gave out.
    ObservedHidBus(HidBus& inner, std::vector<BusObserver*> observers);
    ~ObservedHidBus() override;
    ObservedHidBus(const ObservedHidBus&) = delete;
    ObservedHidBus& operator=(const ObservedHidBus&) = delete;

    std::vector<HidInterfaceInfo> enumerate() override;
    ProbeResult probe(const std::string& path) override;
    Opened<HidWriter> openWriter(const std::string& path) override;
    Opened<HidReader> openReader(const std::string& path) override;
    std::unique_ptr<HotplugMonitor> monitor() override;

    void noteImage(const std::string& sha256, std::uint64_t size);
    void noteEnd(int exitCode);

    struct Core;

private:
    HidBus& inner_;
    std::shared_ptr<Core> core_;
};

}  // namespace vumo::platform
