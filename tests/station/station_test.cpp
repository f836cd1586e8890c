// The station against emulated devices on the simulated bus, with counted pauses: several
// devices at once, faults on some, devices arriving late, identity kept through the mode
// switch and the restart.

#include "station/station.h"
#include "station/flash_log.h"

#include "platform/forwarding_hid_bus.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace vumo::station {
namespace {

using namespace std::chrono_literals;
using sim::Mode;

class Events final : public StationObserver {
public:
    void DeviceArrived(const StationDevice& d) override {
        {
            std::lock_guard lock(mutex);
            arrived.push_back(d);
            maxInFlight = std::max(maxInFlight, static_cast<int>(arrived.size() - finished.size()));
        }
        changed.notify_all();
        if (onArrived) onArrived();
    }
    void DeviceSkipped(const StationDevice& d, const std::string& why) override {
        std::lock_guard lock(mutex);
        skipped.emplace_back(d, why);
        changed.notify_all();
    }
    void DeviceFinished(const FinishedDevice& f) override {
        std::lock_guard lock(mutex);
        finished.push_back(f);
        changed.notify_all();
    }
    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, condition);
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<StationDevice> arrived;
    std::vector<std::pair<StationDevice, std::string>> skipped;
    std::vector<FinishedDevice> finished;
    int maxInFlight = 0;              // announced and not yet finished, at most at once
    std::function<void()> onArrived;  // on the supervisor, right after the announcement
};

class StationTest : public testing::Test {
protected:
    StationTest() {
        std::mt19937 rng(7);
        auto prepared = std::make_shared<image::PreparedImage>();
        protocol::FirmwareImage& image = prepared->image;
        image.blockCount = 12;
        for (std::uint32_t b = 0; b < image.blockCount; ++b)
            for (auto& byte : image.blocks[b]) byte = static_cast<std::uint8_t>(rng());
        image.ComputeBlockCrcs();
        prepared->location = 1;
        prepared->path = "firmware.bin";
        prepared->sha256 = "ab";
        for (std::uint32_t b = 0; b < image.blockCount; ++b)
            file_.insert(file_.end(), image.blocks[b].begin(), image.blocks[b].end());
        prepared->fileSize = file_.size();
        image_ = std::move(prepared);
    }
    ~StationTest() override {
        station.reset();
        emulators.clear();
    }

    sim::DeviceEmulator& Add(std::string serial, std::string port, sim::Faults faults = {},
                             Mode mode = Mode::application,
                             std::chrono::milliseconds returnDelay = 5ms) {
        sim::EmulatorConfig config;
        config.serial = std::move(serial);
        config.port = std::move(port);
        config.startMode = mode;
        config.returnDelay = returnDelay;
        config.faults = std::move(faults);
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(simPort, config));
        return *emulators.back();
    }

    StationOptions Options() {
        StationOptions o;
        o.image = image_;
        o.limits = {300ms, 1s, 1s};
        o.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
        return o;
    }

    void Run(StationOptions options, FinishHook hook = {}) {
        RunOn(bus, std::move(options), std::move(hook));
    }
    void RunOn(platform::HidBus& on, StationOptions options, FinishHook hook = {}) {
        station = std::make_unique<Station>(on, std::move(options), events, std::move(hook));
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
    }

    bool WaitDone() {
        const base::Waitable done[1] = {station->doneEvent()};
        return base::WaitAny(done, std::chrono::milliseconds(10'000)) == 0;
    }

    std::map<std::string, FinishedDevice> BySerial() {
        std::map<std::string, FinishedDevice> out;
        for (const auto& f : station->finished()) out[f.device.serial] = f;
        return out;
    }

    sim::SimHidBus bus;
    platform::DevicePort& simPort = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    std::shared_ptr<const image::PreparedImage> image_;
    std::vector<std::uint8_t> file_;
    Events events;
    std::unique_ptr<Station> station;
};

sim::Faults SilentBlock(std::uint32_t block) {
    sim::Faults f;
    f.silentBlocks.insert(block);
    return f;
}

TEST_F(StationTest, EightDevicesAtOnceThreeFaultsEachOutcomeAsAlone) {
    std::vector<sim::DeviceEmulator*> devices;
    sim::Faults unplug;
    unplug.unplugAtBlock = 8;
    sim::Faults away;
    away.noReturn = true;
    for (int i = 1; i <= 8; ++i) {
        sim::Faults faults;
        if (i == 3) faults = SilentBlock(5);
        if (i == 5) faults = unplug;
        if (i == 7) faults = away;
        devices.push_back(&Add("VUMO-000" + std::to_string(i), "sim-" + std::to_string(i), faults));
    }
    std::vector<std::string> logLines;
    std::mutex logMutex;
    auto options = Options();
    options.count = 8;
    Run(options, [&](const FinishedDevice& f) {
        FlashRecord r;
        r.serial = f.result.serial;
        r.outcome = update::OutcomeName(f.result.outcome);
        std::lock_guard lock(logMutex);
        logLines.push_back(FlashLogLine(r));
        return std::string{};
    });
    ASSERT_TRUE(WaitDone());
    const auto c = station->counts();
    EXPECT_EQ(c.ok, 5);
    EXPECT_EQ(c.failed, 3);
    EXPECT_EQ(c.running, 0);
    const auto by = BySerial();
    ASSERT_EQ(by.size(), 8u);
    EXPECT_EQ(by.at("VUMO-0003").result.message, "DFU upload time out : 5");
    EXPECT_EQ(by.at("VUMO-0005").result.message, "DFU upload time out : 8");
    EXPECT_NE(by.at("VUMO-0005").result.cause.find("left the bus at block 8"), std::string::npos);
    EXPECT_EQ(by.at("VUMO-0007").result.step, update::Step::deviceReturn);
    for (int i : {1, 2, 4, 6, 8}) {
        const auto& f = by.at("VUMO-000" + std::to_string(i));
        EXPECT_EQ(f.result.outcome, update::Outcome::ok) << f.result.message;
        EXPECT_TRUE(f.result.restarted);
        EXPECT_EQ(f.device.port, "sim-" + std::to_string(i));
        EXPECT_EQ(devices[static_cast<std::size_t>(i - 1)]->firmware(), file_);
        // Flashed once: its return after the restart belonged to its own run.
        EXPECT_EQ(devices[static_cast<std::size_t>(i - 1)]->modeSwitches(), 1u);
    }
    EXPECT_EQ(logLines.size(), 8u);
    EXPECT_EQ(events.arrived.size(), 8u);
    EXPECT_TRUE(events.skipped.empty());
}

TEST_F(StationTest, ADeviceFlashedOkIsSkippedWhenItComesBackUnlessAgain) {
    auto& device = Add("VUMO-0001", "sim-1");
    Run(Options());
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    EXPECT_EQ(events.finished[0].result.outcome, update::Outcome::ok);
    // Replugged: the same serial is not flashed twice by accident. (The emulator counts its
    // return a moment after the bus has reported it; only then can it be unplugged.)
    ASSERT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    device.unplug();
    auto& again = Add("VUMO-0001", "sim-1");
    ASSERT_TRUE(events.WaitFor([&] { return events.skipped.size() == 1; }));
    EXPECT_EQ(events.skipped[0].second, "VUMO-0001: already flashed in this run");
    EXPECT_EQ(again.modeSwitches(), 0u);
    station->Drain();
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(station->finished().size(), 1u);
}

TEST_F(StationTest, WithAgainTheReturningSerialIsFlashedOnceMore) {
    auto& device = Add("VUMO-0001", "sim-1");
    auto options = Options();
    options.again = true;
    options.count = 2;
    Run(options);
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    ASSERT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    device.unplug();
    auto& again = Add("VUMO-0001", "sim-1");
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(station->counts().ok, 2);
    EXPECT_EQ(again.firmware(), file_);
}

TEST_F(StationTest, ADeviceThatFailedAndStaysOnTheBusIsNotTakenAgain) {
    // It fails mid-upload and stays in its update loader; once its update lets go of it, it
    // must not look like a new device.
    auto& failing = Add("VUMO-0001", "sim-1", SilentBlock(3));
    Run(Options());
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    EXPECT_EQ(events.finished[0].result.outcome, update::Outcome::failed);
    // A second device: by the time it is done the station has looked at the bus again after
    // the first one's update was gone.
    auto& second = Add("VUMO-0002", "sim-2", {}, Mode::update);
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 2; }));
    EXPECT_EQ(second.firmware(), file_);
    EXPECT_EQ(events.arrived.size(), 2u);
    EXPECT_EQ(failing.modeSwitches(), 1u);
    EXPECT_EQ(failing.status().mode, Mode::update);
}

TEST_F(StationTest, TwinsThatNothingTellsApartAreBothRefused) {
    auto& a = Add("VUMO-0009", "");
    auto& b = Add("VUMO-0009", "");
    auto& c = Add("VUMO-0010", "");
    auto options = Options();
    options.count = 1;
    Run(options);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(station->counts().ok, 1);
    EXPECT_EQ(c.firmware(), file_);
    ASSERT_EQ(events.skipped.size(), 2u);
    EXPECT_NE(events.skipped[0].second.find("VUMO-0009"), std::string::npos);
    EXPECT_EQ(a.modeSwitches() + b.modeSwitches(), 0u);
}

TEST_F(StationTest, TwinsOnDifferentPortsAreEachFlashed) {
    auto& a = Add("VUMO-0009", "sim-1");
    auto& b = Add("VUMO-0009", "sim-2");
    auto options = Options();
    options.count = 2;
    Run(options);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(station->counts().ok, 2);
    EXPECT_EQ(a.firmware(), file_);
    EXPECT_EQ(b.firmware(), file_);
    EXPECT_EQ(a.modeSwitches(), 1u);
    EXPECT_EQ(b.modeSwitches(), 1u);
}

TEST_F(StationTest, LimitOfParallelDevicesAndSerialFilter) {
    // Slow returns: every device of ours is still in flight when the next place is handed out.
    for (int i = 1; i <= 6; ++i)
        Add("VUMO-000" + std::to_string(i), "sim-" + std::to_string(i), {}, Mode::application,
            100ms);
    auto options = Options();
    options.maxParallel = 2;
    options.serials = {"VUMO-0002", "VUMO-0003", "VUMO-0004", "VUMO-0006"};
    options.count = 4;
    Run(options);
    ASSERT_TRUE(WaitDone());
    const auto by = BySerial();
    ASSERT_EQ(by.size(), 4u);
    for (const char* serial : {"VUMO-0002", "VUMO-0003", "VUMO-0004", "VUMO-0006"})
        EXPECT_EQ(by.at(serial).result.outcome, update::Outcome::ok) << serial;
    EXPECT_EQ(emulators[0]->modeSwitches() + emulators[4]->modeSwitches(), 0u);
    std::lock_guard lock(events.mutex);
    EXPECT_EQ(events.maxInFlight, 2);
}

TEST_F(StationTest, DrainLetsTheRunningDeviceFinishAndStartsNoOther) {
    auto& running = Add("VUMO-0001", "sim-1", {}, Mode::application, 200ms);
    auto& waiting = Add("VUMO-0002", "sim-2");
    auto options = Options();
    options.maxParallel = 1;
    Run(options);
    ASSERT_TRUE(running.waitForMode(Mode::absent, std::chrono::steady_clock::now() + 5s));
    station->Drain();
    ASSERT_TRUE(WaitDone());
    const auto all = station->finished();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].device.serial, "VUMO-0001");
    EXPECT_EQ(all[0].result.outcome, update::Outcome::ok);
    EXPECT_EQ(running.firmware(), file_);
    EXPECT_EQ(waiting.modeSwitches(), 0u);
}

TEST_F(StationTest, ADeviceThatArrivesLaterIsFlashed) {
    Run(Options());
    auto& late = Add("VUMO-0042", "sim-9", {}, Mode::update);
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    EXPECT_EQ(late.firmware(), file_);
    EXPECT_EQ(events.finished[0].device.modeAtStart, protocol::kModeUpdate);
}

TEST_F(StationTest, ADevicePluggedInAgainOnItsOldNodeIsFlashed) {
    // It leaves mid-upload, as a loose cable does; the operator plugs it in again, and the
    // kernel gives it the node it had.
    sim::Faults unplug;
    unplug.unplugAtBlock = 3;
    auto& first = Add("VUMO-0001", "sim-1", unplug, Mode::update);
    const std::string node = first.path();
    Run(Options());
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    EXPECT_EQ(events.finished[0].result.outcome, update::Outcome::failed);
    auto& again = Add("VUMO-0001", "sim-1", {}, Mode::update);
    ASSERT_EQ(again.path(), node);
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 2; }))
        << "the device on its old node was never taken";
    EXPECT_EQ(events.finished[1].result.outcome, update::Outcome::ok);
    EXPECT_EQ(again.firmware(), file_);
}

// Removals reach the station late, as udev's can after the node has been given out again:
// held back until the next take after release().
class LateRemovals final : public platform::ForwardingHidBus {
public:
    using ForwardingHidBus::ForwardingHidBus;
    std::unique_ptr<platform::HotplugMonitor> monitor() override {
        return std::make_unique<Monitor>(*this, inner().monitor());
    }
    void release() { held_.store(false); }

private:
    class Monitor final : public platform::HotplugMonitor {
    public:
        Monitor(LateRemovals& bus, std::unique_ptr<HotplugMonitor> inner)
            : bus_(bus), inner_(std::move(inner)) {}
        base::Waitable ready() const override { return inner_->ready(); }
        std::vector<Event> takeEvents() override {
            std::vector<Event> out;
            for (auto& e : inner_->takeEvents()) {
                if (e.action == Action::removal && bus_.held_.load()) late_.push_back(std::move(e));
                else out.push_back(std::move(e));
            }
            if (bus_.held_.load()) return out;
            late_.insert(late_.end(), out.begin(), out.end());
            return std::exchange(late_, {});
        }

    private:
        LateRemovals& bus_;
        std::unique_ptr<HotplugMonitor> inner_;
        std::vector<Event> late_;
    };
    std::atomic<bool> held_{true};
};

TEST_F(StationTest, ALateRemovalOfANodesEarlierDeviceDoesNotMakeItsNewOneNew) {
    // The device's loader and then its restarted application take the node it left; the
    // removals of the earlier two are handled only after the update has ended.
    LateRemovals late{bus};
    // The station walks `late` until it stops: it goes first, however the test ends.
    struct StopFirst {
        std::unique_ptr<Station>& station;
        ~StopFirst() { station.reset(); }
    } stopFirst{station};
    auto& device = Add("VUMO-0001", "sim-1");
    const std::string node = device.path();
    RunOn(late, Options());
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 1; }));
    ASSERT_EQ(events.finished[0].result.outcome, update::Outcome::ok);
    // The emulator notes its return a moment after the bus has reported it.
    ASSERT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    ASSERT_EQ(device.path(), node) << "the bus did not give the node out again";
    late.release();
    Add("VUMO-0002", "sim-2");  // its arrival brings the held removals in before it
    ASSERT_TRUE(events.WaitFor([&] { return events.finished.size() == 2; }));
    EXPECT_TRUE(events.skipped.empty()) << events.skipped[0].second;
    EXPECT_EQ(device.modeSwitches(), 1u);
}

TEST_F(StationTest, AnAbortAsADeviceIsAnnouncedSendsItNothingAndEndsItOnce) {
    auto& device = Add("VUMO-0001", "sim-1");
    // The stop comes between the announcement and the update's start, as a second Ctrl-C that
    // follows the "arrived" line.
    events.onArrived = [this] { station->Abort(); };
    Run(Options());
    ASSERT_TRUE(WaitDone()) << "the aborted station never finished";
    const auto all = station->finished();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].result.outcome, update::Outcome::interrupted);
    EXPECT_EQ(all[0].result.message, update::kNotStartedText);
    EXPECT_EQ(device.modeSwitches(), 0u);
}

TEST_F(StationTest, AbortEndsRunningUpdatesAsInterrupted) {
    sim::Faults slow;
    slow.silent.insert(sim::Reply::ready);
    Add("VUMO-0001", "sim-1", slow, Mode::update);
    auto options = Options();
    options.limits = {60s, 60s, 1s};
    Run(options);
    ASSERT_TRUE(emulators[0]->waitForArrivals(1, std::chrono::steady_clock::now() + 5s));
    ASSERT_TRUE(events.WaitFor([&] { return !events.arrived.empty(); }));
    station->Abort();
    ASSERT_TRUE(WaitDone());
    ASSERT_EQ(station->finished().size(), 1u);
    EXPECT_EQ(station->finished()[0].result.outcome, update::Outcome::interrupted);
}

TEST(FlashLog, OneLinePerDeviceAppendedAndValidJson) {
    const std::string path = testing::TempDir() + "/flash-log-test.jsonl";
    std::remove(path.c_str());
    std::string error;
    {
        auto log = FlashLog::Open(path, error);
        ASSERT_TRUE(log) << error;
        FlashRecord r;
        r.time = std::chrono::system_clock::time_point{} + 1'700'000'000'123ms;
        r.serial = "VUMO-\x01\xff";
        r.outcome = "ok";
        r.location = 1;
        ASSERT_TRUE(log->Append(r, error)) << error;
    }
    // A second writer appends; nothing is rewritten.
    auto log = FlashLog::Open(path, error);
    ASSERT_TRUE(log);
    FlashRecord r;
    r.serial = "VUMO-0002";
    ASSERT_TRUE(log->Append(r, error));
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("{\"time\": \"2023-11-14T22:13:20.123Z\", ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\"serial\": \"VUMO-\\u0001\xEF\xBF\xBD\""), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"serial\": \"VUMO-0002\""), std::string::npos);
    EXPECT_FALSE(FlashLog::Open("/no/such/folder/log", error));
    EXPECT_NE(error.find("/no/such/folder/log"), std::string::npos);
}

}  // namespace
}  // namespace vumo::station
