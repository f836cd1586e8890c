#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "platform/forwarding_hid_bus.h"
#include "platform/start_thread.h"
#include "protocol/reports.h"
#include "sim/sim_hid_bus.h"
#include "vumo/build_config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string_view>
#include <vector>

namespace vumo::hid {
namespace {

using namespace std::chrono_literals;
using platform::OpenStatus;

// Records what the host writes.
class Recorder final : public platform::OutputSink {
public:
    void onOutputReport(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(mutex);
        reports.emplace_back(report.begin(), report.end());
    }
    std::vector<std::vector<std::uint8_t>> taken() {
        std::lock_guard lock(mutex);
        return reports;
    }
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> reports;
};

platform::DeviceDescription Identity(std::uint16_t product, std::string serial,
                                     std::uint16_t outputLength) {
    return {kVendorId, product, "Vumo Test", std::move(serial), "Vumo", {17, outputLength}, {}};
}

std::array<std::uint8_t, 17> Reply(std::size_t at, std::string_view word) {
    std::array<std::uint8_t, 17> r{};
    std::copy(word.begin(), word.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    return r;
}

std::chrono::steady_clock::time_point In(std::chrono::milliseconds d) {
    return std::chrono::steady_clock::now() + d;
}

class HidDeviceTest : public testing::Test {
protected:
    std::string AttachDfu(std::string serial = "S1", std::uint16_t outputLength = 133) {
        return bus.attach(Identity(kDfuProductId, std::move(serial), outputLength), recorder);
    }
    sim::SimHidBus bus;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::atomic<bool> noStop{false};
};

TEST_F(HidDeviceTest, OpenAndCloseResultCodes) {
    DfuDevice dfu(bus);
    EXPECT_EQ(dfu.EnumerateDevices(), 0);
    EXPECT_EQ(dfu.Open(0), kOpenBadIndex);
    AttachDfu();
    ASSERT_EQ(dfu.EnumerateDevices(), 1);
    EXPECT_EQ(dfu.Open(-1), kOpenBadIndex);
    EXPECT_EQ(dfu.Open(1), kOpenBadIndex);
    EXPECT_EQ(dfu.Open(0), kOpenOk);
    EXPECT_TRUE(dfu.isOpen());
    EXPECT_EQ(dfu.Open(0), kOpenAlreadyOpen);
    EXPECT_TRUE(dfu.isOpen());
    EXPECT_EQ(dfu.Close(), 0);
    EXPECT_FALSE(dfu.isOpen());
    // The handles are cleared by the first Close; closing cleared handles fails.
    EXPECT_EQ(dfu.Close(), 0x07);
    // A closed object opens again.
    dfu.EnumerateDevices();
    EXPECT_EQ(dfu.Open(0), kOpenOk);
    EXPECT_EQ(dfu.Close(), 0);
}

TEST_F(HidDeviceTest, ListsOnlyItsOwnProductInWalkOrderWithStrings) {
    bus.attach(Identity(kAppProductId, "A1", 21), recorder);
    AttachDfu("D1");
    bus.attach(
        {static_cast<std::uint16_t>(kVendorId + 1), kDfuProductId, "Other", "X", "", {17, 133}, {}},
        recorder);
    AttachDfu("D2");
    DfuDevice dfu(bus);
    AppDevice app(bus);
    ASSERT_EQ(dfu.EnumerateDevices(), 2);
    EXPECT_EQ(dfu.entry(0).serial, "D1");
    EXPECT_EQ(dfu.entry(1).serial, "D2");
    EXPECT_EQ(dfu.entry(1).product, "Vumo Test");
    EXPECT_EQ(dfu.caps().output, 133);
    ASSERT_EQ(app.EnumerateDevices(), 1);
    EXPECT_EQ(app.entry(0).serial, "A1");
    EXPECT_EQ(app.caps().output, 21);
    EXPECT_EQ(dfu.Open(1), kOpenOk);
    EXPECT_EQ(dfu.openSerial(), "D2");
    dfu.Close();
}

TEST_F(HidDeviceTest, ListHoldsTenAndCountsTheRest) {
    for (int i = 0; i < 12; ++i) AttachDfu("S" + std::to_string(i));
    DfuDevice dfu(bus);
    EXPECT_EQ(dfu.EnumerateDevices(), 10);
    EXPECT_EQ(dfu.overflowCount(), 2);
    EXPECT_EQ(dfu.entry(9).serial, "S9");
    EXPECT_EQ(dfu.entry(10).serial, "");
}

TEST_F(HidDeviceTest, StringsAreCutAtSixtyTwoUtf16Units) {
    const std::string longSerial(80, 'x');
    // 61 ASCII letters then a character outside the BMP, which takes two units: it does not fit.
    const std::string emoji = std::string(61, 'a') + "\xF0\x9F\x98\x80";
    bus.attach({kVendorId, kDfuProductId, emoji, longSerial, "", {17, 133}, {}}, recorder);
    DfuDevice dfu(bus);
    ASSERT_EQ(dfu.EnumerateDevices(), 1);
    EXPECT_EQ(dfu.entry(0).serial, std::string(62, 'x'));
    EXPECT_EQ(dfu.entry(0).product, std::string(61, 'a'));
    EXPECT_EQ(TruncateUtf16Units("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
}

TEST_F(HidDeviceTest, SecondWriterIsRefusedAndOpenDeviceLeavesOtherLists) {
    AttachDfu();
    DfuDevice first(bus);
    DfuDevice second(bus);
    ASSERT_EQ(first.EnumerateDevices(), 1);
    ASSERT_EQ(second.EnumerateDevices(), 1);
    ASSERT_EQ(first.Open(0), kOpenOk);
    EXPECT_EQ(second.Open(0), kOpenFailed);
    EXPECT_EQ(second.lastOpenStatus(), OpenStatus::busy);
    EXPECT_FALSE(second.isOpen());
    // A new enumeration can't probe the held device and leaves it out, saying why.
    EXPECT_EQ(second.EnumerateDevices(), 0);
    ASSERT_EQ(second.skipped().size(), 1u);
    EXPECT_EQ(second.skipped()[0].why, OpenStatus::busy);
    // The open connection itself is unaffected by the other's attempts.
    EXPECT_TRUE(first.isOpen());
    EXPECT_EQ(first.SendReadyQuery(), kWriteOk);
    first.Close();
    EXPECT_EQ(second.EnumerateDevices(), 1);
}

TEST_F(HidDeviceTest, PermissionProblemIsToldApart) {
    const auto path = AttachDfu();
    bus.setPermissionDenied(path, true);
    DfuDevice dfu(bus);
    EXPECT_EQ(dfu.EnumerateDevices(), 0);
    ASSERT_EQ(dfu.skipped().size(), 1u);
    EXPECT_EQ(dfu.skipped()[0].why, OpenStatus::permissionDenied);
}

TEST_F(HidDeviceTest, DeviceUnpluggedSinceTheListGivesSeventeen) {
    const auto path = AttachDfu();
    DfuDevice dfu(bus);
    ASSERT_EQ(dfu.EnumerateDevices(), 1);
    bus.detach(path);
    EXPECT_EQ(dfu.Open(0), kOpenFailed);
    EXPECT_EQ(dfu.lastOpenStatus(), OpenStatus::gone);
    EXPECT_FALSE(dfu.isOpen());
}

TEST_F(HidDeviceTest, WriteResultCodes) {
    DfuDevice dfu(bus);
    // Not open: nothing sent.
    EXPECT_EQ(dfu.SendReadyQuery(), kWriteNotOpen);

    AttachDfu("exact", 133);
    bus.attach(Identity(kDfuProductId, "longer", 140), recorder);
    bus.attach(Identity(kDfuProductId, "shorter", 100), recorder);
    ASSERT_EQ(dfu.EnumerateDevices(), 3);

    ASSERT_EQ(dfu.Open(0), kOpenOk);
    EXPECT_EQ(dfu.SendReadyQuery(), kWriteOk);
    dfu.Close();
    ASSERT_EQ(dfu.Open(1), kOpenOk);
    EXPECT_EQ(dfu.SendReadyQuery(), kWriteTooShort);
    dfu.Close();
    ASSERT_EQ(dfu.Open(2), kOpenOk);
    // The device's shorter report goes out, and the count disagrees with the caller's.
    EXPECT_EQ(dfu.SendReadyQuery(), kWriteCountMismatch);
    dfu.Close();

    const auto sent = recorder->taken();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), 133u);
    EXPECT_EQ(sent[0][1], 'R');
    EXPECT_EQ(sent[1].size(), 100u);
}

TEST_F(HidDeviceTest, AppDeviceSendsTheTwentyOneByteModeSwitch) {
    bus.attach(Identity(kAppProductId, "A", 21), recorder);
    AppDevice app(bus);
    EXPECT_EQ(app.SendModeSwitch(protocol::kModeUpdate), kWriteNotOpen);
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), kOpenOk);
    EXPECT_EQ(app.SendModeSwitch(protocol::kModeUpdate), kWriteOk);
    app.Close();
    const auto sent = recorder->taken();
    ASSERT_EQ(sent.size(), 1u);
    const auto expected = protocol::BuildAppModeSwitch(protocol::kModeUpdate);
    EXPECT_EQ(sent[0], std::vector<std::uint8_t>(expected.begin(), expected.end()));
}

TEST_F(HidDeviceTest, RepliesReachTheFlagsAndNoneIsLostBetweenCycles) {
    const auto path = AttachDfu();
    DfuDevice dfu(bus);
    dfu.EnumerateDevices();
    ASSERT_EQ(dfu.Open(0), kOpenOk);
    // A burst arrives faster than one read cycle takes; every report is handed on.
    bus.sendInputReport(path, Reply(3, "READY"));
    bus.sendInputReport(path, Reply(3, "LOCAT"));
    bus.sendInputReport(path, Reply(3, "SIZE"));
    bus.sendInputReport(path, Reply(6, "START"));
    EXPECT_TRUE(dfu.flags().WaitFor(protocol::Flag::ready, 1, In(5s), noStop));
    EXPECT_TRUE(dfu.flags().WaitFor(protocol::Flag::location, 1, In(5s), noStop));
    EXPECT_TRUE(dfu.flags().WaitFor(protocol::Flag::size, 1, In(5s), noStop));
    EXPECT_TRUE(dfu.flags().WaitFor(protocol::Flag::start, 1, In(5s), noStop));
    dfu.Close();
}

TEST_F(HidDeviceTest, SilentDeviceChangesNothingAndTheListenerKeepsReading) {
    const auto path = AttachDfu();
    DfuDevice dfu(bus);
    dfu.EnumerateDevices();
    ASSERT_EQ(dfu.Open(0), kOpenOk);
    // Longer than two read cycles of silence: no flag changes.
    EXPECT_FALSE(dfu.flags().WaitFor(protocol::Flag::ready, 1, In(1200ms), noStop));
    for (auto f : {protocol::Flag::start, protocol::Flag::size, protocol::Flag::image,
                   protocol::Flag::location, protocol::Flag::end})
        EXPECT_EQ(dfu.flags().Get(f), 0u);
    // The cycles that timed out did not end the listening.
    bus.sendInputReport(path, Reply(3, "IMAGE"));
    EXPECT_TRUE(dfu.flags().WaitFor(protocol::Flag::image, 1, In(5s), noStop));
    dfu.Close();
}

TEST_F(HidDeviceTest, ClosedObjectReadsNothing) {
    const auto path = AttachDfu();
    DfuDevice dfu(bus);
    dfu.EnumerateDevices();
    ASSERT_EQ(dfu.Open(0), kOpenOk);
    dfu.Close();
    bus.sendInputReport(path, Reply(3, "READY"));
    // Open again and send a marker: reports arrive in order, so had the READY been kept for a
    // later read, it would be in before the marker.
    dfu.EnumerateDevices();
    ASSERT_EQ(dfu.Open(0), kOpenOk);
    bus.sendInputReport(path, Reply(3, "LOCAT"));
    ASSERT_TRUE(dfu.flags().WaitFor(protocol::Flag::location, 1, In(5s), noStop));
    EXPECT_EQ(dfu.flags().Get(protocol::Flag::ready), 0u);
    dfu.Close();
}

TEST_F(HidDeviceTest, CloseAndDestructionDoNotWaitOutAReadCycle) {
    AttachDfu();
    auto dfu = std::make_unique<DfuDevice>(bus);
    dfu->EnumerateDevices();
    ASSERT_EQ(dfu->Open(0), kOpenOk);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(dfu->Close(), 0);
    // Close wakes the listener out of its read instead of waiting out the 500 ms cycle.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 400ms);

    dfu->EnumerateDevices();
    ASSERT_EQ(dfu->Open(0), kOpenOk);
    begin = std::chrono::steady_clock::now();
    dfu.reset();  // destroyed while open and reading: the listener is stopped and joined
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 400ms);
}

TEST_F(HidDeviceTest, UnpluggedWhileOpenStaysOpenUntilClosed) {
    const auto path = AttachDfu();
    DfuDevice dfu(bus);
    dfu.EnumerateDevices();
    ASSERT_EQ(dfu.Open(0), kOpenOk);
    bus.detach(path);
    EXPECT_TRUE(dfu.isOpen());
    EXPECT_EQ(dfu.SendReadyQuery(), kWriteCountMismatch);
    EXPECT_EQ(dfu.Close(), 0);
}

TEST_F(HidDeviceTest, ModeSwitchClearsAllFlagsEvenWhenClosed) {
    DfuDevice dfu(bus);
    dfu.ParseReply(Reply(3, "READY"));
    dfu.ParseReply(Reply(6, "START"));
    dfu.ParseReply(Reply(3, "IMAGE"));
    EXPECT_EQ(dfu.SendModeSwitch(protocol::kModeApplication), kWriteNotOpen);
    for (auto f : {protocol::Flag::ready, protocol::Flag::start, protocol::Flag::size,
                   protocol::Flag::image, protocol::Flag::location, protocol::Flag::end})
        EXPECT_EQ(dfu.flags().Get(f), 0u);
}

TEST_F(HidDeviceTest, EnumerationOnOneThreadWhileOpeningOnAnother) {
    for (int i = 0; i < 3; ++i) AttachDfu("S" + std::to_string(i));
    DfuDevice dfu(bus);
    dfu.EnumerateDevices();
    std::thread enumerator([&] {
        for (int i = 0; i < 200; ++i) dfu.EnumerateDevices();
    });
    for (int i = 0; i < 200; ++i) {
        if (dfu.Open(i % 3) == kOpenOk) dfu.Close();
    }
    enumerator.join();
    EXPECT_FALSE(dfu.isOpen());
}

// A bus whose answer about one path changes after a number of walks: the node was handed to
// another device between the walk that chose it and the open.
class ReassigningBus final : public platform::ForwardingHidBus {
public:
    explicit ReassigningBus(sim::SimHidBus& inner) : ForwardingHidBus(inner) {}
    std::vector<platform::HidInterfaceInfo> enumerate() override {
        auto all = inner().enumerate();
        if (++walks_ > honestWalks)
            for (auto& info : all) info.serial = "SOMEONE-ELSE";
        return all;
    }
    int honestWalks = 1000;

private:
    int walks_ = 0;
};

TEST_F(HidDeviceTest, OpenIdentityOpensOnlyTheDeviceItWasAskedFor) {
    const std::string first = AttachDfu("S1");
    const std::string second = AttachDfu("S2");
    DfuDevice dfu(bus);
    // The list is not consulted: nothing was enumerated.
    EXPECT_EQ(dfu.OpenIdentity(second, "S2", {}), kOpenOk);
    EXPECT_EQ(dfu.openPath(), second);
    EXPECT_EQ(dfu.openSerial(), "S2");
    EXPECT_EQ(dfu.OpenIdentity(first, "S1", {}), kOpenAlreadyOpen);
    EXPECT_EQ(dfu.Close(), 0);

    // A path that carries another serial, or is gone, or is not of this product, is refused.
    EXPECT_EQ(dfu.OpenIdentity(first, "S2", {}), kOpenWrongDevice);
    EXPECT_FALSE(dfu.isOpen());
    bus.detach(first);
    EXPECT_EQ(dfu.OpenIdentity(first, "S1", {}), kOpenBadIndex);
    EXPECT_EQ(dfu.lastOpenStatus(), OpenStatus::gone);
    AppDevice app(bus);
    EXPECT_EQ(app.OpenIdentity(second, "S2", {}), kOpenBadIndex);
    EXPECT_FALSE(app.isOpen());
}

TEST_F(HidDeviceTest, OpenIdentityChecksAfterTheOpenThatTheNodeStillNamesTheDevice) {
    const std::string path = AttachDfu("S1");
    ReassigningBus reassigning(bus);
    DfuDevice dfu(reassigning);
    // The walk before the open sees S1; the one after it sees another device on that node.
    reassigning.honestWalks = 1;
    EXPECT_EQ(dfu.OpenIdentity(path, "S1", {}), kOpenWrongDevice);
    EXPECT_FALSE(dfu.isOpen());
    // Closed again, so the lock is free for whoever owns the node now.
    EXPECT_EQ(bus.probe(path).status, OpenStatus::ok);
    EXPECT_EQ(dfu.openPath(), "");
}

TEST_F(HidDeviceTest, OpenIdentityTellsTwinsApartByThePortTheCallerChose) {
    // Two devices with one serial number on two ports. The one chosen on port 1-1.2 leaves
    // after the choice, and its twin takes the freed node.
    const auto chosen = bus.attach(
        {kVendorId, kDfuProductId, "Loader", "S1", "Vumo", {17, 133}, "1-1.2"}, recorder);
    bus.attach({kVendorId, kDfuProductId, "Loader", "S1", "Vumo", {17, 133}, "1-1.9"}, recorder);
    bus.detach(chosen);
    bus.detach("sim:hidraw1");
    ASSERT_EQ(bus.attach({kVendorId, kDfuProductId, "Loader", "S1", "Vumo", {17, 133}, "1-1.9"},
                         recorder),
              chosen);
    DfuDevice dfu(bus);
    EXPECT_EQ(dfu.OpenIdentity(chosen, "S1", "1-1.2"), kOpenWrongDevice);
    EXPECT_FALSE(dfu.isOpen());
    EXPECT_EQ(dfu.OpenIdentity(chosen, "S1", "1-1.9"), kOpenOk);
}

TEST_F(HidDeviceTest, ListIsOneConsistentSnapshotWithPorts) {
    bus.attach({kVendorId, kDfuProductId, "Loader", "S1", "Vumo", {17, 133}, "1-1.2"}, recorder);
    bus.attach({kVendorId, kDfuProductId, "Loader", "S2", "Vumo", {17, 133}, "1-1.3"}, recorder);
    DfuDevice dfu(bus);
    ASSERT_EQ(dfu.EnumerateDevices(), 2);
    const auto list = dfu.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].serial, "S1");
    EXPECT_EQ(list[0].port, "1-1.2");
    EXPECT_EQ(list[1].port, "1-1.3");
    // Scan walks the bus afresh and leaves the front end's list alone.
    bus.attach({kVendorId, kDfuProductId, "Loader", "S3", "Vumo", {17, 133}, "1-1.4"}, recorder);
    EXPECT_EQ(dfu.Scan().size(), 3u);
    EXPECT_EQ(dfu.list().size(), 2u);
    ASSERT_EQ(dfu.OpenIdentity(list[1].path, "S2", {}), kOpenOk);
    EXPECT_EQ(dfu.openPort(), "1-1.3");
}

TEST(DeviceIdentity, SerialDecidesAndPortsTellTwinsApart) {
    const auto entry = [](std::string serial, std::string port) {
        DeviceListEntry e;
        e.serial = std::move(serial);
        e.port = std::move(port);
        return e;
    };
    EXPECT_TRUE(IsSameDevice({"A", ""}, entry("A", "")));
    EXPECT_TRUE(IsSameDevice({"A", "1-1"}, entry("A", "")));
    EXPECT_TRUE(IsSameDevice({"A", "1-1"}, entry("A", "1-1")));
    EXPECT_FALSE(IsSameDevice({"A", "1-1"}, entry("A", "1-2")));
    EXPECT_FALSE(IsSameDevice({"A", "1-1"}, entry("B", "1-1")));
    // Without a serial only the port speaks; with neither, nothing is recognised.
    EXPECT_TRUE(IsSameDevice({"", "1-1"}, entry("", "1-1")));
    EXPECT_FALSE(IsSameDevice({"", "1-1"}, entry("", "")));
    EXPECT_FALSE(IsSameDevice({"", ""}, entry("", "")));
}

TEST_F(HidDeviceTest, AListenerThatCannotStartIsAnOpenFailureNotAnAbort) {
    platform::SetThreadStartFailureForTesting(
        [](const char* what) { return std::string_view(what) == "listener"; });
    DfuDevice dfu(bus);
    platform::SetThreadStartFailureForTesting({});
    EXPECT_FALSE(dfu.listenerStarted());
    EXPECT_NE(dfu.startError().find("could not be started"), std::string::npos);
    const std::string path = AttachDfu();
    ASSERT_EQ(dfu.EnumerateDevices(), 1);
    // Without a listener no reply would ever arrive: refuse rather than time out later.
    EXPECT_EQ(dfu.Open(0), kOpenFailed);
    EXPECT_EQ(dfu.OpenIdentity(path, "S1", {}), kOpenFailed);
    EXPECT_FALSE(dfu.isOpen());
}

}  // namespace
}  // namespace vumo::hid
