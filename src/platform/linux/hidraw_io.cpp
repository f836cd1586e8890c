#include "platform/linux/hidraw_io.h"

#include "base/event_fd.h"
#include "platform/linux/node_info.h"
#include "platform/linux/report_descriptor.h"
#include "platform/read_gate.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>

namespace vumo::platform::hidraw {
namespace {

// The descriptor's summary, or the errno of the ioctl that failed.
struct DescriptorRead {
    int error = 0;
    ReportDescriptorSummary summary;
};

DescriptorRead readDescriptor(int fd) {
    DescriptorRead result;
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) {
        result.error = errno;
        return result;
    }
    if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        result.error = EINVAL;
        return result;
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<std::uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        result.error = errno;
        return result;
    }
    const std::size_t length = std::min<std::size_t>(descriptor.size, HID_MAX_DESCRIPTOR_SIZE);
    result.summary = parseReportDescriptor(std::span<const std::uint8_t>(descriptor.value, length));
    return result;
}

// Errors of a descriptor read or of I/O on an open node: the device may have left meanwhile.
OpenStatus statusFromIoErrno(int error) {
    return error == EIO ? OpenStatus::gone : openStatusFromErrno(error);
}

class NodeWriter final : public HidWriter {
public:
    explicit NodeWriter(UniqueFd node) : node_(std::move(node)) {}
    ~NodeWriter() override { close(); }

    WriteResult write(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(mutex_);
        if (!node_) return {};
        for (;;) {
            // hidraw takes the whole report, report ID in byte 0, in one call; usbhid's own
            // timeout bounds how long it can block.
            const ssize_t n = ::write(node_.get(), report.data(), report.size());
            if (n >= 0) return {true, static_cast<std::size_t>(n)};
            if (errno != EINTR) return {};
        }
    }

    bool close() override {
        std::lock_guard lock(mutex_);
        return node_.close();
    }

private:
    // A close from another thread waits for a write in progress, so the fd number is never
    // closed under it and reused by someone else.
    std::mutex mutex_;
    UniqueFd node_;
};

class NodeReader final : public HidReader {
public:
    NodeReader(UniqueFd node, base::EventFd wake, bool numberedReports)
        : node_(std::move(node)), wake_(std::move(wake)), numbered_(numberedReports) {}
    ~NodeReader() override { close(); }

    ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        if (const auto early = gate_.Enter()) return *early;
        // close() leaves the fds alone until this read has left the gate.
        return gate_.Leave(readOnce(node_.get(), wake_.fd(), buffer, timeout));
    }

    void cancel() override {
        // The event is never cleared, so it stays readable: every later poll on it returns
        // at once.
        gate_.Cancel([&] { wake_.signal(); });
    }

    bool close() override {
        // A read in progress sees the wake event at once and leaves; only then may the fds go.
        gate_.CancelAndWaitIdle([&] { wake_.signal(); });
        const bool nodeClosed = node_.close();
        const bool wakeClosed = wake_.close();
        return nodeClosed && wakeClosed;
    }

private:
    ReadResult readOnce(int node, int wake, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) const {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds{0});
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int waitMs = static_cast<int>(
                std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
            pollfd fds[2] = {{node, POLLIN, 0}, {wake, POLLIN, 0}};
            const int ready = ::poll(fds, 2, waitMs);
            if (ready < 0) {
                if (errno == EINTR) continue;  // the next pass waits only for what is left
                return {ReadStatus::failed, 0};
            }
            if (fds[1].revents != 0) return {ReadStatus::cancelled, 0};
            if (ready == 0) return {ReadStatus::timeout, 0};

            const short events = fds[0].revents;
            if ((events & POLLNVAL) != 0) return {ReadStatus::failed, 0};
            if ((events & POLLIN) != 0) {
                // Reports queued before the device left are still delivered.
                const PlacedReport placed = placeReport(buffer, numbered_, [&](void* dest, std::size_t count) {
                    return ::read(node, dest, count);
                });
                if (placed.received > 0) return {ReadStatus::report, placed.length};
                if (placed.received == 0) {
                    // End of file: nothing more will come.
                    if ((events & (POLLHUP | POLLERR)) != 0) return {ReadStatus::gone, 0};
                    return {ReadStatus::report, placed.length};
                }
                if (errno == EINTR || errno == EAGAIN) continue;
                return {statusFromIoErrno(errno) == OpenStatus::gone ? ReadStatus::gone
                                                                     : ReadStatus::failed,
                        0};
            }
            if ((events & (POLLHUP | POLLERR)) != 0) return {ReadStatus::gone, 0};
        }
    }

    ReadGate gate_;
    UniqueFd node_;
    base::EventFd wake_;
    const bool numbered_;
};

}  // namespace

std::unique_ptr<HidWriter> makeNodeWriter(UniqueFd node) {
    return std::make_unique<NodeWriter>(std::move(node));
}

std::unique_ptr<HidReader> makeNodeReader(UniqueFd node, bool numberedReports) {
    base::EventFd wake;
    if (!wake) return nullptr;
    return std::make_unique<NodeReader>(std::move(node), std::move(wake), numberedReports);
}

ProbeResult probeNode(const std::string& path) {
    // Opened for writing, like the writer, so that a node this user can read but not write
    // is reported as a permission problem at once.
    UniqueFd node(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (!node) return {openStatusFromErrno(errno), {}};
    if (::flock(node.get(), LOCK_SH | LOCK_NB) < 0) return {openStatusFromErrno(errno), {}};
    const DescriptorRead descriptor = readDescriptor(node.get());
    if (descriptor.error != 0) return {statusFromIoErrno(descriptor.error), {}};
    return {OpenStatus::ok, descriptor.summary.lengths};
}

Opened<HidWriter> openWriterNode(const std::string& path) {
    UniqueFd node(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!node) return {openStatusFromErrno(errno), nullptr};
    if (::flock(node.get(), LOCK_EX | LOCK_NB) < 0) return {openStatusFromErrno(errno), nullptr};
    return {OpenStatus::ok, makeNodeWriter(std::move(node))};
}

Opened<HidReader> openReaderNode(const std::string& path) {
    UniqueFd node(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!node) return {openStatusFromErrno(errno), nullptr};
    // Whether reports come numbered is fixed by the descriptor; learn it once, here.
    const DescriptorRead descriptor = readDescriptor(node.get());
    if (descriptor.error != 0) return {statusFromIoErrno(descriptor.error), nullptr};
    auto reader = makeNodeReader(std::move(node), descriptor.summary.numberedReports);
    if (!reader) return {OpenStatus::failed, nullptr};
    return {OpenStatus::ok, std::move(reader)};
}

}  // namespace vumo::platform::hidraw
