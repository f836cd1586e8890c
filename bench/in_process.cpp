#include "in_process.h"

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "platform/sim_hid_bus.h"
#include "protocol/reports.h"
#include "proc_stats.h"
#include "sim/device_emulator.h"
#include "sim/sim_bus_port.h"
#include "sim/simulate_options.h"
#include "sim/simulation.h"
#include "update/device_watcher.h"
#include "update/pacer.h"
#include "update/update_procedure.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace vumo::bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Where the timestamps of one conversation meet. The listener thread and the device's side
// record the latest reply; the writing thread turns it into a turn when the next report goes
// out. A clock reading is taken before any lock.
class TurnClock {
public:
    void ReplyRead(std::int64_t at) { lastRead_.store(at, std::memory_order_release); }
    void ReplySent(std::int64_t at) { lastSent_.store(at, std::memory_order_release); }
    void ReportWritten(std::int64_t at) {
        const std::int64_t read = lastRead_.exchange(0, std::memory_order_acq_rel);
        const std::int64_t sent = lastSent_.exchange(0, std::memory_order_acq_rel);
        if (turns_ == nullptr) return;
        std::lock_guard lock(mutex_);
        if (read != 0) turns_->fromTransport.push_back(static_cast<double>(at - read) / 1000);
        if (sent != 0) turns_->fromDevice.push_back(static_cast<double>(at - sent) / 1000);
    }
    void Record(TurnTimings* turns) { turns_ = turns; }

private:
    std::atomic<std::int64_t> lastRead_{0};
    std::atomic<std::int64_t> lastSent_{0};
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
class TimedBus final : public platform::HidBus {
public:
    TimedBus(platform::HidBus& inner, TurnClock& clock) : inner_(inner), clock_(clock) {}
    std::vector<platform::HidInterfaceInfo> enumerate() override { return inner_.enumerate(); }
    platform::ProbeResult probe(const std::string& path) override { return inner_.probe(path); }
    platform::Opened<platform::HidWriter> openWriter(const std::string& path) override {
        auto opened = inner_.openWriter(path);
        if (opened.handle)
            opened.handle = std::make_unique<TimedWriter>(std::move(opened.handle), clock_);
        return opened;
    }
    platform::Opened<platform::HidReader> openReader(const std::string& path) override {
        auto opened = inner_.openReader(path);
        if (opened.handle)
            opened.handle = std::make_unique<TimedReader>(std::move(opened.handle), clock_);
        return opened;
    }
    std::unique_ptr<platform::HotplugMonitor> monitor() override { return inner_.monitor(); }

private:
    platform::HidBus& inner_;
    TurnClock& clock_;
};

// The device's way onto the bus, with the moment each reply leaves it recorded.
class TimedPort final : public sim::DevicePort {
public:
    TimedPort(sim::DevicePort& inner, TurnClock& clock) : inner_(inner), clock_(clock) {}
    std::string attach(const sim::DeviceDescription& description,
                       std::shared_ptr<sim::OutputSink> sink) override {
        return inner_.attach(description, std::move(sink));
    }
    void detach(const std::string& path) override { inner_.detach(path); }
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override {
        clock_.ReplySent(NowNs());
        return inner_.sendInputReport(path, report);
    }

private:
    sim::DevicePort& inner_;
    TurnClock& clock_;
};

// A front end that shows nothing and lets the caller wait for the end of the update.
class QuietUi final : public update::UpdateUi {
public:
    void SetProgressRange(int, int) override {}
    void SetProgress(int) override {}
    void ShowWarning(bool) override {}
    void EnableOpenButton(bool) override {}
    void EnableUpdateButton(bool) override {}
    void ShowMessage(const std::string& text, const std::string&, int type) override {
        if (type != update::kBoxError) return;
        std::lock_guard lock(mutex_);
        lastError_ = text;
    }
    void UpdateFinished(const update::UpdateResult& result) override {
        {
            std::lock_guard lock(mutex_);
            result_ = result;
            finishedAt_ = Clock::now();
        }
        finished_.notify_all();
    }
    std::optional<update::UpdateResult> WaitFinished(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        finished_.wait_until(lock, deadline, [this] { return result_.has_value(); });
        return result_;
    }
    Clock::time_point finishedAt() {
        std::lock_guard lock(mutex_);
        return finishedAt_;
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    std::optional<update::UpdateResult> result_;
    std::string lastError_;
    Clock::time_point finishedAt_;
};

pid_t ThisThread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

}  // namespace

CountedUpdate RunCountedUpdate(bool fromApplicationMode, std::span<const std::uint8_t> image,
                               TurnTimings* turns, std::chrono::milliseconds replyDelay) {
    CountedUpdate out;
    TurnClock clock;
    platform::SimHidBus simBus;
    TimedBus bus(simBus, clock);
    sim::SimBusPort simPort(simBus);
    TimedPort port(simPort, clock);

    sim::EmulatorConfig config;
    config.startMode = fromApplicationMode ? sim::Mode::application : sim::Mode::update;
    config.returnDelay = 0ms;
    config.faults.replyDelay = replyDelay;
    sim::DeviceEmulator device(port, config);

    hid::AppDevice app(bus);
    hid::DfuDevice dfu(bus);
    image::CommitImage(image, dfu.image());
    dfu.SetLocationCode(1);
    out.blocks = dfu.image().blockCount;

    auto monitor = bus.monitor();
    hid::HidDevice& object = fromApplicationMode ? static_cast<hid::HidDevice&>(app) : dfu;
    if (!monitor || object.EnumerateDevices() != 1 || object.Open(0) != hid::kOpenOk) {
        out.error = "the simulated device could not be opened";
        return out;
    }

    QuietUi ui;
    auto pacer = std::make_unique<update::CountingPacer>();
    const update::CountingPacer& counted = *pacer;
    update::UpdateProcedure procedure(app, dfu, ui, std::move(pacer));
    procedure.Start();
    procedure.setOpenMode(fromApplicationMode ? protocol::kModeApplication
                                              : protocol::kModeUpdate);
    std::optional<update::UpdateResult> result;
    Clock::time_point began;
    {
        update::DeviceWatcher watcher(*monitor, [&procedure](const auto& event) {
            update::ForwardDeviceChange(procedure, event);
        });
        clock.Record(turns);
        began = Clock::now();
        procedure.ResetProgress();
        procedure.StartSecondStage();
        result = ui.WaitFinished(Clock::now() + 120s);
        procedure.Stop();
    }
    clock.Record(nullptr);
    if (app.isOpen()) app.Close();
    if (dfu.isOpen()) dfu.Close();

    if (!result) {
        out.error = "the update did not end within two minutes";
        return out;
    }
    if (result->outcome != update::Outcome::ok) {
        out.error = std::string("the update ended ") + update::OutcomeName(result->outcome) +
                    " at " + update::StepName(result->step) + ": " + result->message;
        return out;
    }
    if (device.blocksReceived() != out.blocks) {
        out.error = "the device kept " + std::to_string(device.blocksReceived()) + " of " +
                    std::to_string(out.blocks) + " blocks";
        return out;
    }
    out.ok = true;
    out.pauses = counted.total();
    out.elapsed = ui.finishedAt() - began;
    return out;
}

SilentDeviceWakeups MeasureSilentOpenDevice(std::chrono::milliseconds window) {
    SilentDeviceWakeups out;
    sim::SimulateOptions options;
    options.startMode = sim::Mode::update;
    sim::Simulation simulation(options);
    hid::DfuDevice dfu(simulation.bus());
    if (dfu.EnumerateDevices() != 1 || dfu.Open(0) != hid::kOpenOk) {
        out.error = "the simulated device could not be opened";
        return out;
    }
    // Let the listener settle into its read cycles first.
    std::this_thread::sleep_for(1s);
    const pid_t self = ::getpid();
    const pid_t measuring = ThisThread();
    auto before = ReadThreadSwitches(self);
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    auto after = ReadThreadSwitches(self);
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    before.erase(measuring);
    after.erase(measuring);
    const WakeDelta delta = Difference(before, after);
    dfu.Close();
    out.ok = true;
    out.perSecond = static_cast<double>(delta.switches) / seconds;
    out.threads = delta.threads;
    return out;
}

}  // namespace vumo::bench
