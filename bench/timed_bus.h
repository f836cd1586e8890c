#pragma once
// A simulated machine whose transport is timed: one emulated device on the in-process bus, the
// host's reads and writes wrapped so that every turn of the conversation (a reply comes in, the
// next report goes out) is stamped where the transport sees it.

#include "platform/forwarding_hid_bus.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vumo::bench {

// Per turn of the conversation, in microseconds.
struct TurnTimings {
    // The reply came out of the transport's read (the listener thread has it) -> the next
    // output report goes into the transport's write.
    std::vector<double> fromTransport;
    // The device handed the reply to the bus -> the next output report is written. Includes
    // the bus's hand-over to the listener thread.
    std::vector<double> fromDevice;
    // The report went into the transport's write -> the device handed its reply to the bus:
    // the device's own share of the turn (for a device answering after 1 ms: that millisecond
    // and its timer's lateness).
    std::vector<double> atDevice;
};

std::int64_t NowNs();

// Where the timestamps of one conversation meet. The listener thread and the device's side
// record the latest reply; the writing thread turns it into a turn when the next report goes
// out. A clock reading is taken before any lock.
class TurnClock {
public:
    void ReplyRead(std::int64_t at) { lastRead_.store(at, std::memory_order_release); }
    void ReplySent(std::int64_t at) {
        lastSent_.store(at, std::memory_order_release);
        const std::int64_t written = lastWritten_.exchange(0, std::memory_order_acq_rel);
        if (written == 0) return;
        std::lock_guard lock(mutex_);
        if (turns_ != nullptr) turns_->atDevice.push_back(static_cast<double>(at - written) / 1000);
    }
    void ReportWritten(std::int64_t at) {
        const std::int64_t read = lastRead_.exchange(0, std::memory_order_acq_rel);
        const std::int64_t sent = lastSent_.exchange(0, std::memory_order_acq_rel);
        lastWritten_.store(at, std::memory_order_release);
        std::lock_guard lock(mutex_);
        if (turns_ == nullptr) return;
        if (read != 0) turns_->fromTransport.push_back(static_cast<double>(at - read) / 1000);
        if (sent != 0) turns_->fromDevice.push_back(static_cast<double>(at - sent) / 1000);
    }
    void Record(TurnTimings* turns) {
        std::lock_guard lock(mutex_);
        turns_ = turns;
    }

private:
    std::atomic<std::int64_t> lastRead_{0};
    std::atomic<std::int64_t> lastSent_{0};
    std::atomic<std::int64_t> lastWritten_{0};
    std::mutex mutex_;
    TurnTimings* turns_ = nullptr;
};

class TimedWriter final : public platform::HidWriter {
public:
    TimedWriter(std::unique_ptr<platform::HidWriter> inner, TurnClock& clock)
        : inner_(std::move(inner)), clock_(clock) {}
    platform::WriteResult write(std::span<const std::uint8_t> report) override {
        clock_.ReportWritten(NowNs());
        return inner_->write(report);
    }
    bool close() override { return inner_->close(); }

private:
    std::unique_ptr<platform::HidWriter> inner_;
    TurnClock& clock_;
};

class TimedReader final : public platform::HidReader {
public:
    TimedReader(std::unique_ptr<platform::HidReader> inner, TurnClock& clock)
        : inner_(std::move(inner)), clock_(clock) {}
    platform::ReadResult read(std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds timeout) override {
        const auto result = inner_->read(buffer, timeout);
        if (result.status == platform::ReadStatus::report) clock_.ReplyRead(NowNs());
        return result;
    }
    void cancel() override { inner_->cancel(); }
    bool close() override { return inner_->close(); }

private:
    std::unique_ptr<platform::HidReader> inner_;
    TurnClock& clock_;
};

// The host's view of the simulated bus, with the transport's reads and writes timed.
class TimedBus final : public platform::ForwardingHidBus {
public:
    TimedBus(platform::HidBus& inner, TurnClock& clock) : ForwardingHidBus(inner), clock_(clock) {}
    platform::Opened<platform::HidWriter> openWriter(const std::string& path) override {
        auto opened = inner().openWriter(path);
        if (opened.handle)
            opened.handle = std::make_unique<TimedWriter>(std::move(opened.handle), clock_);
        return opened;
    }
    platform::Opened<platform::HidReader> openReader(const std::string& path) override {
        auto opened = inner().openReader(path);
        if (opened.handle)
            opened.handle = std::make_unique<TimedReader>(std::move(opened.handle), clock_);
        return opened;
    }

private:
    TurnClock& clock_;
};

// The device's way onto the bus, with the moment each reply leaves it recorded.
class TimedPort final : public platform::DevicePort {
public:
    TimedPort(platform::DevicePort& inner, TurnClock& clock) : inner_(inner), clock_(clock) {}
    std::string attach(const platform::DeviceDescription& description,
                       std::shared_ptr<platform::OutputSink> sink) override {
        return inner_.attach(description, std::move(sink));
    }
    void detach(const std::string& path) override { inner_.detach(path); }
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override {
        clock_.ReplySent(NowNs());
        return inner_.sendInputReport(path, report);
    }

private:
    platform::DevicePort& inner_;
    TurnClock& clock_;
};

class TimedSimulation {
public:
    // One device in `startMode` (application or update) that answers each command after
    // `replyDelay` (0: at once, on the writing thread) and comes back at once after a mode
    // switch. Host objects using bus() must be gone before this is destroyed.
    TimedSimulation(sim::Mode startMode, std::chrono::milliseconds replyDelay);
    platform::HidBus& bus() { return bus_; }
    sim::DeviceEmulator& device() { return *device_; }
    // From now on every turn goes into `turns`; null: nowhere. The previous one is no longer
    // touched once this returns.
    void Record(TurnTimings* turns) { clock_.Record(turns); }

private:
    TurnClock clock_;
    sim::SimHidBus simBus_;
    TimedBus bus_{simBus_, clock_};
    TimedPort port_{simBus_, clock_};
    std::unique_ptr<sim::DeviceEmulator> device_;
};

}  // namespace vumo::bench
