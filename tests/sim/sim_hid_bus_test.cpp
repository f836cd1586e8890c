#include "sim/sim_hid_bus.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

namespace vumo::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using namespace platform;

// Answers every output report with an input report holding the report's second byte.
class EchoDevice final : public OutputSink {
public:
    EchoDevice(SimHidBus& bus) : bus_(bus) {}
    void onOutputReport(std::span<const std::uint8_t> report) override {
        {
            std::lock_guard lock(mutex_);
            received_.emplace_back(report.begin(), report.end());
        }
        if (report.size() > 1) bus_.sendInputReport(path, Bytes{0x00, report[1]});
    }
    std::vector<Bytes> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::string path;

private:
    SimHidBus& bus_;
    mutable std::mutex mutex_;
    std::vector<Bytes> received_;
};

DeviceDescription loader(const std::string& serial) {
    return {0x1209, 0x0002, "Loader", serial, "Example Maker", {17, 133}, {}};
}

bool readable(base::Waitable ready, int timeoutMs) {
    const base::Waitable one[1] = {ready};
    return base::WaitAny(one, std::chrono::milliseconds(timeoutMs)) == 0;
}

class SimBusTest : public ::testing::Test {
protected:
    SimHidBus bus;
    std::array<std::uint8_t, 17> buffer{};
};

TEST_F(SimBusTest, ListsAttachedDevicesInAttachOrderOnTheLowestFreeNode) {
    const auto a = bus.attach(loader("A"), nullptr);
    const auto b = bus.attach(loader("B"), nullptr);
    auto heldWriter = bus.openWriter(a);
    auto heldReader = bus.openReader(a);
    ASSERT_TRUE(heldWriter.handle && heldReader.handle);
    bus.detach(a);
    // As the kernel numbers hidraw nodes: the freed number goes to the next device.
    const auto c = bus.attach(loader("C"), nullptr);
    EXPECT_EQ(c, a);
    EXPECT_EQ(bus.attach(loader("D"), nullptr), "sim:hidraw2");
    // What was opened on the node before stays with the device that left.
    EXPECT_FALSE(heldWriter.handle->write(Bytes{0x00, 0x01}).ok);
    EXPECT_EQ(bus.writeCount(c), 0u);
    EXPECT_EQ(heldReader.handle->read(buffer, 0ms).status, ReadStatus::gone);
    auto writerOfC = bus.openWriter(c);
    EXPECT_EQ(writerOfC.status, OpenStatus::ok);
    heldWriter.handle->close();
    EXPECT_EQ(bus.openWriter(c).status, OpenStatus::busy);  // the old close freed nothing of C's
    bus.detach("sim:hidraw2");
    const auto list = bus.enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].path, b);
    EXPECT_EQ(list[0].serial, "B");
    EXPECT_EQ(list[0].vendorId, 0x1209);
    EXPECT_EQ(list[0].productId, 2);
    EXPECT_EQ(list[0].manufacturer, "Example Maker");
    EXPECT_EQ(list[1].path, c);

    const auto probe = bus.probe(b);
    EXPECT_EQ(probe.status, OpenStatus::ok);
    EXPECT_EQ(probe.lengths.input, 17);
    EXPECT_EQ(probe.lengths.output, 133);
}

TEST_F(SimBusTest, OneWriterAtATimeAndProbesFailWhileItHolds) {
    const auto path = bus.attach(loader("A"), nullptr);
    EXPECT_EQ(bus.probe(path).status, OpenStatus::ok);
    auto writer = bus.openWriter(path);
    ASSERT_EQ(writer.status, OpenStatus::ok);
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::busy);
    EXPECT_EQ(bus.probe(path).status, OpenStatus::busy);
    EXPECT_EQ(bus.openReader(path).status, OpenStatus::ok);  // readers don't need the lock

    EXPECT_TRUE(writer.handle->close());
    EXPECT_EQ(bus.probe(path).status, OpenStatus::ok);
    auto again = bus.openWriter(path);
    EXPECT_EQ(again.status, OpenStatus::ok);
    // Closing the old handle a second time must not release the new writer's hold.
    EXPECT_TRUE(writer.handle->close());
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::busy);

    // Dropping the handle without close releases it too.
    again.handle.reset();
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::ok);
}

TEST_F(SimBusTest, PermissionDeniedAndUnknownPaths) {
    const auto path = bus.attach(loader("A"), nullptr);
    bus.setPermissionDenied(path, true);
    EXPECT_EQ(bus.probe(path).status, OpenStatus::permissionDenied);
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::permissionDenied);
    EXPECT_EQ(bus.openReader(path).status, OpenStatus::permissionDenied);
    bus.setPermissionDenied(path, false);
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::ok);

    EXPECT_EQ(bus.probe("sim:nowhere").status, OpenStatus::gone);
    EXPECT_EQ(bus.openWriter("sim:nowhere").status, OpenStatus::gone);
    EXPECT_EQ(bus.openReader("sim:nowhere").status, OpenStatus::gone);
    EXPECT_FALSE(bus.sendInputReport("sim:nowhere", Bytes{0x00}));
}

TEST_F(SimBusTest, WritesReachTheDeviceWhichMayAnswerAtOnce) {
    auto device = std::make_shared<EchoDevice>(bus);
    device->path = bus.attach(loader("A"), device);
    auto reader = bus.openReader(device->path);
    auto writer = bus.openWriter(device->path);
    ASSERT_TRUE(reader.handle && writer.handle);

    const Bytes report = {0x00, 0x5A, 0x01};
    const auto w = writer.handle->write(report);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 3u);
    EXPECT_EQ(device->received(), std::vector<Bytes>{report});
    EXPECT_EQ(bus.writeCount(device->path), 1u);

    const auto r = reader.handle->read(buffer, 1000ms);
    ASSERT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(buffer[1], 0x5A);

    writer.handle->close();
    EXPECT_FALSE(writer.handle->write(report).ok);
    EXPECT_EQ(bus.writeCount(device->path), 1u);
}

TEST_F(SimBusTest, ReportsWaitForTheNextReadUpToSixtyFour) {
    const auto path = bus.attach(loader("A"), nullptr);
    auto reader = bus.openReader(path);
    ASSERT_TRUE(reader.handle);
    for (int i = 0; i < 70; ++i)
        bus.sendInputReport(path, Bytes{0x00, static_cast<std::uint8_t>(i)});
    // The oldest six were dropped.
    for (int i = 6; i < 70; ++i) {
        const auto r = reader.handle->read(buffer, 0ms);
        ASSERT_EQ(r.status, ReadStatus::report) << i;
        EXPECT_EQ(buffer[1], i);
    }
    EXPECT_EQ(reader.handle->read(buffer, 10ms).status, ReadStatus::timeout);

    // Each reader has its own queue; a long report is cut to the buffer.
    auto other = bus.openReader(path);
    Bytes longReport(40, 0x33);
    bus.sendInputReport(path, longReport);
    EXPECT_EQ(reader.handle->read(buffer, 0ms).length, buffer.size());
    EXPECT_EQ(other.handle->read(buffer, 0ms).status, ReadStatus::report);
}

TEST_F(SimBusTest, ReportArrivingDuringTheWaitEndsItAtOnce) {
    const auto path = bus.attach(loader("A"), nullptr);
    auto reader = bus.openReader(path);
    auto pending = std::async(std::launch::async, [&] { return reader.handle->read(buffer, 30s); });
    bus.sendInputReport(path, Bytes{0x00, 0x77});
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get().status, ReadStatus::report);
    EXPECT_EQ(buffer[1], 0x77);
}

TEST_F(SimBusTest, CancelWakesABlockedReadAndSticks) {
    const auto path = bus.attach(loader("A"), nullptr);
    auto reader = bus.openReader(path);
    auto pending = std::async(std::launch::async, [&] { return reader.handle->read(buffer, 30s); });
    reader.handle->cancel();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get().status, ReadStatus::cancelled);

    bus.sendInputReport(path, Bytes{0x00, 0x01});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reader.handle->read(buffer, 30s).status, ReadStatus::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(reader.handle->close());
    EXPECT_TRUE(reader.handle->close());
}

TEST_F(SimBusTest, DetachMakesEverythingGone) {
    const auto path = bus.attach(loader("A"), nullptr);
    auto reader = bus.openReader(path);
    auto writer = bus.openWriter(path);
    bus.sendInputReport(path, Bytes{0x00, 0x09});
    auto pending = std::async(std::launch::async, [&] {
        std::array<std::uint8_t, 17> first{};
        const auto r = reader.handle->read(first, 30s);
        return std::pair{r, reader.handle->read(buffer, 30s)};
    });
    bus.detach(path);
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    const auto [queued, after] = pending.get();
    EXPECT_EQ(queued.status, ReadStatus::report);  // reports sent before the removal still come
    EXPECT_EQ(after.status, ReadStatus::gone);

    EXPECT_FALSE(writer.handle->write(Bytes{0x00, 0x01}).ok);
    EXPECT_TRUE(writer.handle->close());
    EXPECT_EQ(bus.probe(path).status, OpenStatus::gone);
    EXPECT_EQ(bus.openWriter(path).status, OpenStatus::gone);
    EXPECT_TRUE(bus.enumerate().empty());
    bus.detach(path);  // unknown now: ignored
}

TEST_F(SimBusTest, MonitorsSeeArrivalAndRemovalThroughTheirFd) {
    auto monitor = bus.monitor();
    auto second = bus.monitor();
    ASSERT_TRUE(monitor && second);
    EXPECT_FALSE(readable(monitor->ready(), 0));
    EXPECT_TRUE(monitor->takeEvents().empty());

    const auto path = bus.attach(loader("A"), nullptr);
    bus.detach(path);
    ASSERT_TRUE(readable(monitor->ready(), 1000));
    const auto events = monitor->takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].action, HotplugMonitor::Action::arrival);
    EXPECT_EQ(events[0].path, path);
    EXPECT_EQ(events[1].action, HotplugMonitor::Action::removal);
    EXPECT_EQ(events[1].path, path);
    EXPECT_FALSE(readable(monitor->ready(), 0));
    EXPECT_TRUE(monitor->takeEvents().empty());

    // Every monitor gets its own copy; a dropped monitor doesn't disturb the others.
    EXPECT_EQ(second->takeEvents().size(), 2u);
    monitor.reset();
    const auto later = bus.attach(loader("B"), nullptr);
    ASSERT_TRUE(readable(second->ready(), 1000));
    const auto more = second->takeEvents();
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(more[0].path, later);
}

}  // namespace
}  // namespace vumo::sim
