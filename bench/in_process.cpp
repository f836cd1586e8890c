#include "in_process.h"

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "proc_stats.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
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

// A front end that shows nothing and lets the caller wait for the end of the update.
class QuietUi final : public update::UpdateEvents {
public:
    void Finished(const update::UpdateResult& result) override {
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
    Clock::time_point finishedAt_;
};

pid_t ThisThread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

}  // namespace

CountedUpdate RunCountedUpdate(bool fromApplicationMode, std::span<const std::uint8_t> image,
                               TurnTimings* turns, std::chrono::milliseconds replyDelay,
                               update::Pacing pacing) {
    CountedUpdate out;
    TimedSimulation simulation(fromApplicationMode ? sim::Mode::application : sim::Mode::update,
                               replyDelay);
    platform::HidBus& bus = simulation.bus();
    sim::DeviceEmulator& device = simulation.device();

    hid::AppDevice app(bus);
    hid::DfuDevice dfu(bus);
    auto prepared = std::make_shared<image::PreparedImage>();
    image::CommitImage(image, prepared->image);
    prepared->location = 1;
    out.blocks = prepared->image.blockCount;

    auto monitor = bus.monitor();
    hid::HidDevice& object = fromApplicationMode ? static_cast<hid::HidDevice&>(app) : dfu;
    if (!monitor || object.EnumerateDevices() != 1 || object.Open(0) != hid::kOpenOk) {
        out.error = "the simulated device could not be opened";
        return out;
    }

    QuietUi ui;
    auto pacer = std::make_unique<update::CountingPacer>(pacing);
    const update::CountingPacer& counted = *pacer;
    update::UpdateProcedure procedure(app, dfu, ui, std::move(pacer));
    if (!procedure.Start()) {
        out.error = procedure.startError();
        return out;
    }
    procedure.setOpenMode(fromApplicationMode ? protocol::kModeApplication : protocol::kModeUpdate);
    std::optional<update::UpdateResult> result;
    Clock::time_point began;
    {
        update::DeviceWatcher watcher(*monitor, [&procedure](const auto& event) {
            update::ForwardDeviceChange(procedure, event);
        });
        simulation.Record(turns);
        began = Clock::now();
        procedure.StartSecondStage(
            {prepared,
             {object.openSerial(), object.openPort()},
             fromApplicationMode ? protocol::kModeApplication : protocol::kModeUpdate});
        result = ui.WaitFinished(Clock::now() + 120s);
        procedure.Stop();
    }
    simulation.Record(nullptr);
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
