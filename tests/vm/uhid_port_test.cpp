// UhidPort against a stand-in for the kernel: each uhid descriptor is one end of a socket pair
// whose other end answers as uhid does (UHID_START after UHID_CREATE2, a hidraw folder in a
// made-up sysfs), so the port's protocol, threads and error paths run on any machine. The real
// kernel is met in the virtual-machine tests beside this file.

#include "platform/linux/report_descriptor.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/uhid/uhid_port.h"
#include "vumo/build_config.h"
#include "vm/fake_uhid_kernel.h"

#include <gtest/gtest.h>

#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vumo::sim {
namespace {

using namespace std::chrono_literals;

// Keeps what reaches it; may run an action on the port's thread for each report.
class RecordingSink final : public platform::OutputSink {
public:
    void onOutputReport(std::span<const std::uint8_t> report) override {
        {
            std::lock_guard lock(mutex_);
            reports_.emplace_back(report.begin(), report.end());
        }
        changed_.notify_all();
        if (onReport) onReport();
    }
    std::optional<std::vector<std::uint8_t>> waitReport(std::size_t n = 0) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kWait, [&] { return reports_.size() > n; }))
            return std::nullopt;
        return reports_[n];
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return reports_.size();
    }
    std::function<void()> onReport;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::uint8_t>> reports_;
};

platform::DeviceDescription UpdateModeDevice() {
    platform::DeviceDescription d;
    d.vendorId = kVendorId;
    d.productId = kDfuProductId;
    d.product = "Vumo Update Loader";
    d.serial = "VUMO-0042";
    d.lengths.input = protocol::kInputReportLength;
    d.lengths.output = protocol::kDfuReportLength;
    return d;
}

TEST(UhidReportDescriptor, GivesTheDeviceLengthsToTheHostsParser) {
    // The host counts the report ID byte; the device's reports are unnumbered.
    for (const auto& [input, output] : {std::pair<std::uint16_t, std::uint16_t>{17, 133}, {17, 21}}) {
        const auto d = BuildReportDescriptor(input, output);
        const auto summary = platform::hidraw::parseReportDescriptor(d);
        EXPECT_TRUE(summary.complete);
        EXPECT_FALSE(summary.numberedReports);
        EXPECT_EQ(summary.lengths.input, input);
        EXPECT_EQ(summary.lengths.output, output);
    }
    const auto inputOnly = platform::hidraw::parseReportDescriptor(BuildReportDescriptor(17, 0));
    EXPECT_EQ(inputOnly.lengths.output, 0);
    EXPECT_EQ(inputOnly.lengths.input, 17);
}

TEST(UhidPort, CreatesTheDeviceAndReturnsItsHidrawNode) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    const auto path = port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>());
    EXPECT_EQ(path, "/dev/hidraw0");
    EXPECT_EQ(port.lastError(), "");

    const auto create = kernel.waitFor(UHID_CREATE2);
    ASSERT_TRUE(create);
    EXPECT_EQ(create->name, "Vumo Update Loader");  // HID_NAME: the host's product string
    EXPECT_EQ(create->uniq, "VUMO-0042");           // HID_UNIQ: its serial number
    EXPECT_EQ(create->bus, 0x03);
    EXPECT_EQ(create->vendor, kVendorId);
    EXPECT_EQ(create->product, kDfuProductId);
    EXPECT_EQ(create->data, BuildReportDescriptor(17, 133));
    EXPECT_FALSE(create->phys.empty());
}

TEST(UhidPort, TwoDevicesWithTheSameIdsGetTheirOwnNodes) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    const auto first = port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>());
    const auto second = port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>());
    EXPECT_EQ(first, "/dev/hidraw0");
    EXPECT_EQ(second, "/dev/hidraw1");
    EXPECT_NE(kernel.waitFor(UHID_CREATE2, 0)->phys, kernel.waitFor(UHID_CREATE2, 1)->phys);
}

TEST(UhidPort, ThePhysicalPathIsTheDevicesPortKeptAcrossItsAttachments) {
    // The host follows a device through its mode switch and restart by this path.
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    auto onPort = [](const std::string& where) {
        auto d = UpdateModeDevice();
        d.port = where;
        return d;
    };
    const auto first = port.attach(onPort("sim-1"), std::make_shared<RecordingSink>());
    ASSERT_FALSE(first.empty());
    port.detach(first);
    ASSERT_TRUE(kernel.waitFor(UHID_DESTROY));
    const auto back = port.attach(onPort("sim-1"), std::make_shared<RecordingSink>());
    EXPECT_EQ(back, "/dev/hidraw1");
    const auto other = port.attach(onPort("sim-2"), std::make_shared<RecordingSink>());
    EXPECT_EQ(other, "/dev/hidraw2");
    // Each descriptor has a reader of its own, so the creations may come in any order: tell
    // them by the descriptor, opened one per attachment in turn.
    ASSERT_TRUE(kernel.waitCount(UHID_CREATE2, 3));
    std::map<int, std::string> phys;
    for (const auto& created : kernel.all(UHID_CREATE2)) phys[created.device] = created.phys;
    ASSERT_EQ(phys.size(), 3u);
    EXPECT_EQ(phys[0], phys[1]);
    EXPECT_NE(phys[0], phys[2]);
    EXPECT_NE(phys[0].find("sim-1"), std::string::npos) << phys[0];
}

TEST(UhidPort, PassesReportsBothWaysWithTheReportIdWhereEachSideExpectsIt) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    auto sink = std::make_shared<RecordingSink>();
    const auto path = port.attach(UpdateModeDevice(), sink);
    ASSERT_FALSE(path.empty());

    // hidraw hands the host's whole write to uhid: report ID 0, then 132 bytes.
    const auto command = protocol::BuildReadyQuery();
    kernel.sendOutput(0, command);
    const auto got = sink->waitReport();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, std::vector<std::uint8_t>(command.begin(), command.end()));

    // Input reports go on the wire without the ID of an unnumbered report.
    std::vector<std::uint8_t> reply(17, 0);
    reply[3] = 'R';
    ASSERT_TRUE(port.sendInputReport(path, reply));
    const auto input = kernel.waitFor(UHID_INPUT2);
    ASSERT_TRUE(input);
    EXPECT_EQ(input->data, std::vector<std::uint8_t>(reply.begin() + 1, reply.end()));

    EXPECT_FALSE(port.sendInputReport("/dev/hidraw9", reply));
}

TEST(UhidPort, DetachDestroysTheDeviceAndDropsWhatWasStillQueued) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    auto first = std::make_shared<RecordingSink>();
    auto second = std::make_shared<RecordingSink>();
    const auto firstPath = port.attach(UpdateModeDevice(), first);
    const auto secondPath = port.attach(UpdateModeDevice(), second);
    ASSERT_FALSE(firstPath.empty());
    ASSERT_FALSE(secondPath.empty());
    ASSERT_LT(firstPath, secondPath);  // the port's reader takes the first device first

    // The first device's first report holds the port's reader until both devices have a
    // report queued; its second report then detaches the second device, whose queued report
    // the reader meets next in the same round: it must be dropped, not delivered.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    first->onReport = [&] {
        if (first->count() == 1) {
            std::unique_lock lock(gateMutex);
            gateChanged.wait_for(lock, kWait, [&] { return open; });
        } else {
            port.detach(secondPath);
        }
    };
    const auto command = protocol::BuildReadyQuery();
    kernel.sendOutput(0, command);
    ASSERT_TRUE(first->waitReport(0));
    kernel.sendOutput(0, command);
    kernel.sendOutput(1, command);
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(first->waitReport(1));
    EXPECT_TRUE(kernel.waitFor(UHID_DESTROY));
    EXPECT_TRUE(kernel.waitClosed(1));
    EXPECT_EQ(second->count(), 0u);

    EXPECT_FALSE(port.sendInputReport(secondPath, std::vector<std::uint8_t>(17, 0)));
    port.detach(secondPath);  // unknown by now: ignored
    EXPECT_EQ(kernel.count(UHID_DESTROY), 1u);
}

TEST(UhidPort, ASinkMayDetachItsOwnDeviceFromTheCallback) {
    // The emulator leaves the bus while it handles the mode switch, on the port's own thread.
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    auto sink = std::make_shared<RecordingSink>();
    std::string path;
    sink->onReport = [&] { port.detach(path); };
    path = port.attach(UpdateModeDevice(), sink);
    ASSERT_FALSE(path.empty());
    kernel.sendOutput(0, protocol::BuildDfuModeSwitch(protocol::kModeApplication));
    EXPECT_TRUE(kernel.waitFor(UHID_DESTROY));
    EXPECT_TRUE(kernel.waitClosed(1));
}

TEST(UhidPort, RefusesFeatureRequestsAtOnce) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    ASSERT_FALSE(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()).empty());
    uhid_event request{};
    request.type = UHID_GET_REPORT;
    request.u.get_report.id = 77;
    request.u.get_report.rtype = UHID_FEATURE_REPORT;
    kernel.send(0, request);
    const auto reply = kernel.waitFor(UHID_GET_REPORT_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->requestId, 77u);
    EXPECT_EQ(reply->error, EIO);
}

TEST(UhidPort, ReportsADeviceNoDriverTookAndCleansUp) {
    FakeKernel kernel({.start = false});
    UhidPort port(kernel.settings(200ms));
    EXPECT_EQ(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()), "");
    EXPECT_NE(port.lastError().find("hid-generic"), std::string::npos) << port.lastError();
    EXPECT_TRUE(kernel.waitFor(UHID_DESTROY));
    EXPECT_TRUE(kernel.waitClosed(1));
}

TEST(UhidPort, ReportsADeviceWithoutHidrawNode) {
    FakeKernel kernel({.makeNode = false});
    UhidPort port(kernel.settings(200ms));
    EXPECT_EQ(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()), "");
    EXPECT_NE(port.lastError().find("hidraw"), std::string::npos) << port.lastError();
    EXPECT_TRUE(kernel.waitClosed(1));
}

TEST(UhidPort, DestructionUnplugsWhatIsLeft) {
    FakeKernel kernel;
    {
        UhidPort port(kernel.settings());
        ASSERT_FALSE(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()).empty());
        ASSERT_FALSE(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()).empty());
    }
    // Each descriptor's DESTROY comes before its end.
    EXPECT_TRUE(kernel.waitClosed(2));
    EXPECT_EQ(kernel.count(UHID_DESTROY), 2u);
}

TEST(UhidAccess, NamesTheFixForAMissingDevice) {
    const auto access = CheckUhidAccess("/nonexistent/uhid");
    EXPECT_FALSE(access.ok);
    EXPECT_EQ(access.error, ENOENT);
    EXPECT_NE(access.message.find("modprobe uhid"), std::string::npos) << access.message;

    UhidPortSettings settings;
    settings.devicePath = "/nonexistent/uhid";
    UhidPort port(settings);
    EXPECT_EQ(port.attach(UpdateModeDevice(), std::make_shared<RecordingSink>()), "");
    EXPECT_EQ(port.lastError(), access.message);
}

TEST(UhidPort, CarriesTheEmulatorThroughAModeSwitch) {
    FakeKernel kernel;
    UhidPort port(kernel.settings());
    EmulatorConfig config;
    config.serial = "VUMO-0007";
    config.returnDelay = 10ms;
    config.port = "bench-1";
    DeviceEmulator device(port, config);
    ASSERT_EQ(device.path(), "/dev/hidraw0");
    ASSERT_EQ(kernel.waitFor(UHID_CREATE2)->product, kAppProductId);

    kernel.sendOutput(0, protocol::BuildAppModeSwitch(protocol::kModeUpdate));
    EXPECT_TRUE(kernel.waitFor(UHID_DESTROY));
    const auto again = kernel.waitFor(UHID_CREATE2, 1);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->product, kDfuProductId);
    EXPECT_EQ(again->uniq, "VUMO-0007");
    // The same port: the host takes it for the device it switched.
    EXPECT_EQ(again->phys, kernel.waitFor(UHID_CREATE2, 0)->phys);
    EXPECT_EQ(again->data, BuildReportDescriptor(17, 133));
    EXPECT_TRUE(device.waitForMode(Mode::update, std::chrono::steady_clock::now() + kWait));

    // The loader answers on the new device, without the report ID on the wire.
    kernel.sendOutput(1, protocol::BuildReadyQuery());
    const auto ready = kernel.waitFor(UHID_INPUT2);
    ASSERT_TRUE(ready);
    const auto expected = BuildReply(Reply::ready);
    EXPECT_EQ(ready->data, std::vector<std::uint8_t>(expected.begin() + 1, expected.end()));
}

}  // namespace
}  // namespace vumo::sim
