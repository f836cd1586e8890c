// The Windows HID back end alone on a real device, for the machine of tests/vm under Wine:
// lists the device in application mode, sends the mode switch, sees it leave and come back
// through the device notifications, opens it in update mode and asks "READY?". Each step
// prints one line; the exit status is 0 only when all of them worked. It shows what Wine
// carries when the whole program can't be run.

#include "platform/windows/windows_hid_bus.h"
#include "protocol/reports.h"
#include "base/wake_event.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

using namespace vumo;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kVendor = 0x1209;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::optional<platform::HidInterfaceInfo> Find(platform::HidBus& bus, std::uint16_t product) {
    for (const auto& d : bus.enumerate()) {
        std::printf("  listed %04x:%04x '%s' serial '%s' maker '%s' port '%s' %s\n", d.vendorId,
                    d.productId, d.product.c_str(), d.serial.c_str(), d.manufacturer.c_str(),
                    d.port.c_str(), d.path.c_str());
        if (d.vendorId == kVendor && d.productId == product) return d;
    }
    return std::nullopt;
}

bool Step(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    std::fflush(stdout);
    return ok;
}

// Waits for an event of `action` at most `limit`; prints each event seen.
std::optional<std::string> Await(platform::HotplugMonitor& monitor,
                                 platform::HotplugMonitor::Action action,
                                 std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const base::Waitable ready[1] = {monitor.ready()};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (base::WaitAny(ready, left) != 0) break;
        for (const auto& e : monitor.takeEvents()) {
            std::printf("  event %s %s\n",
                        e.action == platform::HotplugMonitor::Action::arrival ? "arrival" : "removal",
                        e.path.c_str());
            if (e.action == action) return e.path;
        }
    }
    return std::nullopt;
}

}  // namespace

int main() {
    const auto begin = std::chrono::steady_clock::now();
    auto bus = platform::makeWindowsHidBus();
    auto app = Find(*bus, 1);
    if (!Step(app.has_value(), "the device is listed in application mode")) return 1;
    const auto probe = bus->probe(app->path);
    std::printf("  probe: %s, input %u, output %u\n", platform::describe(probe.status),
                probe.lengths.input, probe.lengths.output);
    if (!Step(probe.status == platform::OpenStatus::ok && probe.lengths.output == 21,
              "probe gives the 21-byte output report"))
        return 1;

    auto monitor = bus->monitor();
    if (!Step(monitor != nullptr, "device notifications registered")) return 1;
    std::printf("  monitor up after %.1f s\n", Seconds(begin));
    {
        auto writer = bus->openWriter(app->path);
        if (!Step(writer.status == platform::OpenStatus::ok, "application mode opened")) return 1;
        Step(bus->openWriter(app->path).status == platform::OpenStatus::busy,
             "a second writer is busy");
        const auto report = protocol::BuildAppModeSwitch(protocol::kModeUpdate);
        const auto written = writer.handle->write(report);
        if (!Step(written.ok && written.written == report.size(), "mode switch written")) return 1;
        writer.handle->close();
    }
    const auto switched = std::chrono::steady_clock::now();
    const auto removed = Await(*monitor, platform::HotplugMonitor::Action::removal, 30s);
    Step(removed.has_value() && *removed == app->path, "removal seen, of the listed path");
    std::printf("  removal after %.2f s\n", Seconds(switched));
    const auto arrived = Await(*monitor, platform::HotplugMonitor::Action::arrival, 60s);
    if (!Step(arrived.has_value(), "arrival seen")) return 1;
    std::printf("  arrival after %.2f s\n", Seconds(switched));

    auto dfu = Find(*bus, 2);
    if (!Step(dfu.has_value() && dfu->path == *arrived, "update mode listed at the arrived path"))
        return 1;
    Step(dfu->serial == app->serial && dfu->port == app->port, "same serial and port");
    auto writer = bus->openWriter(dfu->path);
    auto reader = bus->openReader(dfu->path);
    if (!Step(writer.status == platform::OpenStatus::ok && reader.status == platform::OpenStatus::ok,
              "update mode opened for writing and reading"))
        return 1;
    const auto ready = protocol::BuildReadyQuery();
    const auto written = writer.handle->write(ready);
    if (!Step(written.ok && written.written == ready.size(), "133-byte READY? written")) return 1;
    std::uint8_t reply[protocol::kInputReportLength] = {};
    const auto got = reader.handle->read(reply, 10s);
    std::printf("  reply (%zu bytes):", got.length);
    for (std::size_t i = 0; i < got.length; ++i) std::printf(" %02x", reply[i]);
    std::printf("\n");
    if (!Step(got.status == platform::ReadStatus::report && got.length == 17 && reply[0] == 0,
              "17-byte reply read, report ID 0 in byte 0"))
        return 1;
    std::printf("all steps passed in %.1f s\n", Seconds(begin));
    return 0;
}
