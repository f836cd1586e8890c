#pragma once
// A stand-in for the kernel's side of /dev/uhid, for tests of the uhid port and what runs on
// it: each uhid descriptor is one end of a socket pair whose other end answers as uhid does
// (UHID_START after UHID_CREATE2, a hidraw folder in a made-up sysfs) and keeps every event
// it was sent, so that a test can wait for them and send the host's side.

#include "sim/uhid/uhid_port.h"

#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vumo::sim {

inline constexpr auto kWait = std::chrono::seconds(5);

inline std::string Text(const std::uint8_t* field) { return reinterpret_cast<const char*>(field); }

// What the fake kernel saw on one descriptor.
struct Received {
    std::uint32_t type = 0;
    int device = 0;  // which descriptor, in the order they were opened
    std::string name, phys, uniq;
    std::uint16_t bus = 0;
    std::uint32_t vendor = 0, product = 0;
    std::vector<std::uint8_t> data;  // descriptor (CREATE2) or report (INPUT2)
    std::uint32_t requestId = 0;     // GET_REPORT_REPLY
    std::uint16_t error = 0;
};

struct KernelBehaviour {
    bool start = true;     // answer CREATE2 with START
    bool makeNode = true;  // give the device a hidraw folder
    int firstNode = 0;     // the first device's hidraw number; each next one counts up
};

class FakeKernel {
public:
    explicit FakeKernel(KernelBehaviour behaviour = {}) : behaviour_(behaviour) {
        char pattern[] = "/tmp/vumo-uhid-test.XXXXXX";
        sysfs_ = ::mkdtemp(pattern);
    }
    ~FakeKernel() {
        {
            std::lock_guard lock(mutex_);
            for (int fd : kernelEnds_) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : threads_) t.join();
        for (int fd : kernelEnds_) ::close(fd);
        std::error_code ec;
        std::filesystem::remove_all(sysfs_, ec);
    }

    UhidPortSettings settings(std::chrono::milliseconds arrival = std::chrono::seconds(2)) {
        UhidPortSettings s;
        s.sysfsFolder = sysfs_;
        s.arrivalTimeout = arrival;
        s.openDevice = [this] { return open(); };
        return s;
    }

    // Waits for the n-th (from 0) event of `type` on any descriptor.
    std::optional<Received> waitFor(std::uint32_t type, std::size_t n = 0) {
        std::unique_lock lock(mutex_);
        std::optional<Received> found;
        changed_.wait_for(lock, kWait, [&] {
            std::size_t seen = 0;
            for (const auto& r : events_) {
                if (r.type == type && seen++ == n) {
                    found = r;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // Every event of `type` so far, in the order they came.
    std::vector<Received> all(std::uint32_t type) {
        std::lock_guard lock(mutex_);
        std::vector<Received> out;
        for (const auto& r : events_)
            if (r.type == type) out.push_back(r);
        return out;
    }
    // Waits until at least `n` events of `type` have come.
    bool waitCount(std::uint32_t type, std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] {
            return static_cast<std::size_t>(std::count_if(
                       events_.begin(), events_.end(),
                       [&](const auto& r) { return r.type == type; })) >= n;
        });
    }
    std::size_t count(std::uint32_t type) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(events_.begin(), events_.end(), [&](auto& r) { return r.type == type; }));
    }
    // Descriptors whose user side has been closed.
    bool waitClosed(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return closed_ >= n; });
    }

    // Sends an event to device `index` (in order of opening) as the kernel would.
    void send(std::size_t index, const uhid_event& event) {
        int fd;
        {
            std::lock_guard lock(mutex_);
            fd = kernelEnds_.at(index);
        }
        ASSERT_EQ(::write(fd, &event, sizeof event), static_cast<ssize_t>(sizeof event));
    }
    void sendOutput(std::size_t index, std::span<const std::uint8_t> report) {
        uhid_event event{};
        event.type = UHID_OUTPUT;
        event.u.output.rtype = UHID_OUTPUT_REPORT;
        event.u.output.size = static_cast<std::uint16_t>(report.size());
        std::copy(report.begin(), report.end(), event.u.output.data);
        send(index, event);
    }

private:
    int open() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) < 0) return -1;
        std::lock_guard lock(mutex_);
        kernelEnds_.push_back(ends[0]);
        const int number = static_cast<int>(kernelEnds_.size()) - 1;
        threads_.emplace_back([this, fd = ends[0], number] { serve(fd, number); });
        return ends[1];
    }

    void serve(int fd, int number) {
        const std::filesystem::path folder = std::filesystem::path(sysfs_) / ("0003:1209:0001.000" + std::to_string(number));
        uhid_event event;
        for (;;) {
            std::memset(&event, 0, sizeof event);
            if (::read(fd, &event, sizeof event) <= 0) break;
            Received r;
            r.type = event.type;
            r.device = number;
            if (event.type == UHID_CREATE2) {
                const auto& c = event.u.create2;
                r.name = Text(c.name);
                r.phys = Text(c.phys);
                r.uniq = Text(c.uniq);
                r.bus = c.bus;
                r.vendor = c.vendor;
                r.product = c.product;
                r.data.assign(c.rd_data, c.rd_data + c.rd_size);
                std::filesystem::create_directories(folder);
                std::ofstream(folder / "uevent") << "HID_ID=0003:00001209:00000001\nHID_PHYS="
                                                 << r.phys << "\n";
                if (behaviour_.makeNode)
                    std::filesystem::create_directories(
                        folder / "hidraw" /
                        ("hidraw" + std::to_string(number + behaviour_.firstNode)));
                if (behaviour_.start) {
                    uhid_event start{};
                    start.type = UHID_START;
                    [[maybe_unused]] auto n = ::write(fd, &start, sizeof start);
                }
            } else if (event.type == UHID_INPUT2) {
                r.data.assign(event.u.input2.data, event.u.input2.data + event.u.input2.size);
            } else if (event.type == UHID_GET_REPORT_REPLY) {
                r.requestId = event.u.get_report_reply.id;
                r.error = event.u.get_report_reply.err;
            } else if (event.type == UHID_DESTROY) {
                std::error_code ec;
                std::filesystem::remove_all(folder, ec);
            }
            {
                std::lock_guard lock(mutex_);
                events_.push_back(std::move(r));
            }
            changed_.notify_all();
        }
        {
            std::lock_guard lock(mutex_);
            ++closed_;
        }
        changed_.notify_all();
    }

    KernelBehaviour behaviour_;
    std::string sysfs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> kernelEnds_;
    std::vector<std::thread> threads_;
    std::deque<Received> events_;
    std::size_t closed_ = 0;
};

}  // namespace vumo::sim
