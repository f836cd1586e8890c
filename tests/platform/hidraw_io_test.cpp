#include "platform/linux/hidraw_io.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

namespace vumo::platform::hidraw {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Stands for ::read on a hidraw node holding one report: copies what fits, drops the rest.
struct KernelRead {
    Bytes report;
    std::size_t askedFor = 0;
    int calls = 0;
    ssize_t operator()(void* dest, std::size_t count) {
        ++calls;
        askedFor = count;
        const std::size_t n = std::min(count, report.size());
        std::memcpy(dest, report.data(), n);
        return static_cast<ssize_t>(n);
    }
};

TEST(PlaceReport, UnnumberedReportsGetAZeroIdByteInFront) {
    std::array<std::uint8_t, 6> buffer;
    buffer.fill(0xEE);
    KernelRead kernel{{0xAA, 0xBB, 0xCC}};
    const auto placed = placeReport(buffer, false, kernel);
    EXPECT_EQ(placed.received, 3);
    EXPECT_EQ(placed.length, 4u);
    EXPECT_EQ(kernel.askedFor, 5u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 6>{0x00, 0xAA, 0xBB, 0xCC, 0xEE, 0xEE}));
}

TEST(PlaceReport, NumberedReportsArriveWithTheirId) {
    std::array<std::uint8_t, 4> buffer;
    buffer.fill(0xEE);
    KernelRead kernel{{0x05, 0xAA}};
    const auto placed = placeReport(buffer, true, kernel);
    EXPECT_EQ(placed.length, 2u);
    EXPECT_EQ(kernel.askedFor, 4u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{0x05, 0xAA, 0xEE, 0xEE}));
}

TEST(PlaceReport, LongReportsAreCutToTheBuffer) {
    Bytes report(20);
    for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i + 1);

    std::array<std::uint8_t, 17> buffer{};
    KernelRead unnumbered{report};
    auto placed = placeReport(buffer, false, unnumbered);
    EXPECT_EQ(placed.length, 17u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_TRUE(std::equal(buffer.begin() + 1, buffer.end(), report.begin()));

    KernelRead numbered{report};
    placed = placeReport(buffer, true, numbered);
    EXPECT_EQ(placed.length, 17u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), report.begin()));
}

TEST(PlaceReport, ReportIsTakenEvenWithoutRoomForItsData) {
    std::array<std::uint8_t, 1> one{0xEE};
    KernelRead kernel{{0xAA, 0xBB}};
    auto placed = placeReport(one, false, kernel);
    EXPECT_EQ(kernel.calls, 1);
    EXPECT_EQ(placed.length, 1u);
    EXPECT_EQ(one[0], 0);

    KernelRead again{{0xAA}};
    placed = placeReport(std::span<std::uint8_t>{}, true, again);
    EXPECT_EQ(again.calls, 1);
    EXPECT_EQ(placed.length, 0u);
}

TEST(PlaceReport, FailedReadPlacesNothing) {
    std::array<std::uint8_t, 3> buffer{0xEE, 0xEE, 0xEE};
    const auto placed = placeReport(buffer, false, [](void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    });
    EXPECT_EQ(placed.received, -1);
    EXPECT_EQ(placed.length, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
}

// A reader and a writer over a SOCK_SEQPACKET pair: like hidraw, one message per read, and the
// far end's close looks like the device leaving.
struct NodePair {
    NodePair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            node = UniqueFd(fds[0]);
            device = UniqueFd(fds[1]);
        }
    }
    void send(const Bytes& report) const {
        ASSERT_EQ(::send(device.get(), report.data(), report.size(), 0),
                  static_cast<ssize_t>(report.size()));
    }
    UniqueFd node;    // our side, handed to the reader or writer
    UniqueFd device;  // the device's side
};

class NodeReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pair.node);
        reader = makeNodeReader(std::move(pair.node), false);
        ASSERT_TRUE(reader);
    }
    NodePair pair;
    std::unique_ptr<HidReader> reader;
    std::array<std::uint8_t, 17> buffer{};
};

TEST_F(NodeReaderTest, DeliversQueuedReportsInOrderWithTheIdByte) {
    pair.send({0x11, 0x12});
    pair.send({0x21});
    auto r = reader->read(buffer, 1000ms);
    ASSERT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0x11);
    EXPECT_EQ(buffer[2], 0x12);
    r = reader->read(buffer, 1000ms);
    ASSERT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(buffer[1], 0x21);
}

TEST(NodeReader, NumberedReportsAreTakenAsTheyCome) {
    NodePair pair;
    ASSERT_TRUE(pair.node);
    auto reader = makeNodeReader(std::move(pair.node), true);
    ASSERT_TRUE(reader);
    pair.send({0x03, 0x44, 0x55});
    std::array<std::uint8_t, 17> buffer{};
    const auto r = reader->read(buffer, 1000ms);
    ASSERT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(buffer[0], 0x03);
    EXPECT_EQ(buffer[2], 0x55);
}

TEST_F(NodeReaderTest, SilenceEndsAtTheTimeout) {
    const auto start = std::chrono::steady_clock::now();
    const auto r = reader->read(buffer, 60ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, ReadStatus::timeout);
    EXPECT_GE(waited, 55ms);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(reader->read(buffer, 0ms).status, ReadStatus::timeout);
}

TEST_F(NodeReaderTest, ReportArrivingDuringTheWaitEndsItAtOnce) {
    auto pending = std::async(std::launch::async, [&] { return reader->read(buffer, 30s); });
    pair.send({0x7A});
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    const auto r = pending.get();
    EXPECT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(buffer[1], 0x7A);
}

TEST_F(NodeReaderTest, CancelWakesABlockedReadAndSticks) {
    auto pending = std::async(std::launch::async, [&] { return reader->read(buffer, 30s); });
    reader->cancel();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get().status, ReadStatus::cancelled);

    // Even with a report waiting, later reads return at once.
    pair.send({0x01});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reader->read(buffer, 30s).status, ReadStatus::cancelled);
    EXPECT_EQ(reader->read(buffer, 30s).status, ReadStatus::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(NodeReaderTest, ReportsBeforeTheDeviceLeftAreDeliveredThenGone) {
    pair.send({0x42});
    ASSERT_TRUE(pair.device.close());
    auto r = reader->read(buffer, 1000ms);
    ASSERT_EQ(r.status, ReadStatus::report);
    EXPECT_EQ(buffer[1], 0x42);
    EXPECT_EQ(reader->read(buffer, 1000ms).status, ReadStatus::gone);
    EXPECT_EQ(reader->read(buffer, 1000ms).status, ReadStatus::gone);
}

TEST_F(NodeReaderTest, CloseEndsAReadInProgressAndIsIdempotent) {
    auto pending = std::async(std::launch::async, [&] { return reader->read(buffer, 30s); });
    EXPECT_TRUE(reader->close());
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get().status, ReadStatus::cancelled);
    EXPECT_TRUE(reader->close());
    EXPECT_EQ(reader->read(buffer, 30s).status, ReadStatus::cancelled);
    reader->cancel();  // harmless after close
}

TEST(NodeWriter, WritesTheWholeReportInOneCall) {
    NodePair pair;
    ASSERT_TRUE(pair.node);
    auto writer = makeNodeWriter(std::move(pair.node));
    const Bytes report = {0x00, 0xEE, 0xDF, 0x01, 0x02};
    const auto w = writer->write(report);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, report.size());
    std::array<std::uint8_t, 32> received{};
    ASSERT_EQ(::recv(pair.device.get(), received.data(), received.size(), 0),
              static_cast<ssize_t>(report.size()));
    EXPECT_TRUE(std::equal(report.begin(), report.end(), received.begin()));

    EXPECT_TRUE(writer->close());
    EXPECT_TRUE(writer->close());
    EXPECT_FALSE(writer->write(report).ok);
}

TEST(NodeWriter, FailedWriteIsReported) {
    // An fd that refuses writes stands for a node whose write fails.
    auto writer = makeNodeWriter(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    const auto w = writer->write(Bytes{0x00, 0x01});
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.written, 0u);
}

// Opening real paths. No HID device is needed for the locking rules: they hold for any file,
// and only the descriptor read tells a hidraw node apart.
class NodeOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vumo_node_XXXXXX";
        const int fd = ::mkstemp(name);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path = name;
    }
    void TearDown() override {
        if (!path.empty()) ::unlink(path.c_str());
    }
    std::string path;
};

TEST_F(NodeOpenTest, MissingPathIsGone) {
    const std::string missing = path + ".missing";
    EXPECT_EQ(probeNode(missing).status, OpenStatus::gone);
    EXPECT_EQ(openWriterNode(missing).status, OpenStatus::gone);
    EXPECT_EQ(openReaderNode(missing).status, OpenStatus::gone);
}

TEST_F(NodeOpenTest, OneWriterAtATimeAndNoProbeWhileItWrites) {
    auto first = openWriterNode(path);
    ASSERT_EQ(first.status, OpenStatus::ok);
    ASSERT_TRUE(first.handle);

    const auto second = openWriterNode(path);
    EXPECT_EQ(second.status, OpenStatus::busy);
    EXPECT_FALSE(second.handle);
    EXPECT_EQ(probeNode(path).status, OpenStatus::busy);

    const Bytes report = {0x00, 0x52, 0x45};
    const auto w = first.handle->write(report);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 3u);
    EXPECT_TRUE(first.handle->close());

    // With the writer gone the lock is free; a plain file has no report descriptor, though.
    EXPECT_EQ(probeNode(path).status, OpenStatus::failed);
    EXPECT_EQ(openWriterNode(path).status, OpenStatus::ok);

    std::ifstream in(path, std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, report);
}

TEST_F(NodeOpenTest, ReaderNeedsAReportDescriptor) {
    const auto reader = openReaderNode(path);
    EXPECT_EQ(reader.status, OpenStatus::failed);
    EXPECT_FALSE(reader.handle);
}

TEST_F(NodeOpenTest, NodeWithoutAccessIsPermissionDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root opens any file";
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_EQ(probeNode(path).status, OpenStatus::permissionDenied);
    EXPECT_EQ(openWriterNode(path).status, OpenStatus::permissionDenied);
    EXPECT_EQ(openReaderNode(path).status, OpenStatus::permissionDenied);
}

}  // namespace
}  // namespace vumo::platform::hidraw
