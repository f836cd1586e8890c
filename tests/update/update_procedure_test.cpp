// The update procedure end to end against the device emulator on the simulated bus. The
// pauses go through a counting pacer, so a whole conversation takes milliseconds; the reply
// limits are short so that time-outs come quickly.

#include "update/update_procedure.h"
#include "update/device_watcher.h"

#include "platform/start_thread.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/sim_test_support.h"
#include "vumo/build_config.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::update {
namespace {

using namespace std::chrono_literals;
using sim::Mode;

// What the user is told, as a front end would show it: a failure or the completion.
struct Box {
    std::string text;
    bool completion = false;
    std::string detail;  // why and what to do, as a box's detail text
};

// Records the procedure's events, and lets a test wait for the end.
class RecordingUi final : public UpdateEvents {
public:
    void Began(std::uint32_t blocks) override {
        std::lock_guard lock(mutex_);
        began = blocks;
    }
    void MilestoneReached(Milestone milestone) override {
        std::lock_guard lock(mutex_);
        milestones.push_back(milestone);
    }
    void PhaseChanged(Phase phase, std::uint32_t block, std::uint32_t) override {
        std::lock_guard lock(mutex_);
        if (phase == Phase::uploading) blocksSent.push_back(static_cast<int>(block));
    }
    void UploadClosed() override { uploadClosed = true; }
    void Failed(const Failure& failure) override {
        Show({failure.message, false, messages::DetailText(failure.cause)});
    }
    void Uploaded(const std::string& text) override { Show({text, true, {}}); }
    void DeviceOpened(const hid::DeviceIdentity&) override { deviceOpened = true; }
    void Finished(const UpdateResult& r) override {
        {
            std::lock_guard lock(mutex_);
            result = r;
            ++finishes;
        }
        finished_.notify_all();
    }

    // Until a box whose text contains `part` has been shown.
    bool WaitForBox(const std::string& part, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (const auto& b : boxes)
                if (b.text.find(part) != std::string::npos) return true;
            return false;
        });
    }

    std::optional<UpdateResult> WaitForResult(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        finished_.wait_for(lock, limit, [this] { return result.has_value(); });
        return result;
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    std::condition_variable changed_;
    int finishes = 0;
    std::optional<std::uint32_t> began;
    std::vector<Milestone> milestones;
    std::vector<int> blocksSent;
    std::atomic<bool> uploadClosed{false};
    std::vector<Box> boxes;
    std::optional<UpdateResult> result;
    std::atomic<bool> deviceOpened{false};
    std::function<std::uint32_t()> emulatorRestarts;
    std::function<void(const std::string&)> onBox;  // runs while the box is "open"
    std::uint32_t restartsWhenBoxClosed = 0;

private:
    void Show(Box box) {
        const std::string text = box.text;
        {
            std::lock_guard lock(mutex_);
            boxes.push_back(std::move(box));
        }
        changed_.notify_all();
        if (onBox) onBox(text);
        // A box is closed by the time it returns: nothing may happen before that.
        std::lock_guard lock(mutex_);
        restartsWhenBoxClosed = emulatorRestarts ? emulatorRestarts() : 0;
    }
};

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

class UpdateProcedureTest : public testing::Test {
protected:
    void TearDown() override {
        if (procedure) procedure->Stop();
        watcher.reset();
        procedure.reset();
    }

    sim::DeviceEmulator& AddDevice(Mode mode, std::string serial, sim::Faults faults = {}) {
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(
            port, sim::test::FastConfig(mode, std::move(serial), std::move(faults))));
        return *emulators.back();
    }

    // Loads `blocks` blocks of random data, as the first stage does.
    std::vector<std::uint8_t> LoadImage(std::uint32_t blocks, std::uint8_t location) {
        auto bytes = RandomBytes(blocks * protocol::kBlockSize, blocks);
        auto prepared = std::make_shared<image::PreparedImage>();
        for (std::uint32_t i = 0; i < blocks; ++i)
            std::copy_n(bytes.begin() + i * protocol::kBlockSize, protocol::kBlockSize,
                        prepared->image.blocks[i].begin());
        prepared->image.blockCount = blocks;
        prepared->image.ComputeBlockCrcs();
        prepared->location = location;
        image = std::move(prepared);
        return bytes;
    }

    void MakeProcedure(Limits limits = {300ms, 2s, 1s}, Checks checks = {}, Seams seams = {},
                       std::unique_ptr<Pacer> pacer = nullptr, Pauses pauses = {}) {
        if (!pacer) pacer = std::make_unique<CountingPacer>();
        procedure = std::make_unique<UpdateProcedure>(app, dfu, ui, std::move(pacer), limits,
                                                      pauses, checks);
        procedure->SetSeams(std::move(seams));
        ASSERT_TRUE(procedure->Start()) << procedure->startError();
        // Watching starts once the devices of the test are on the bus, as a window that
        // starts after them sees them in its first list and not as arrivals.
        monitor = bus.monitor();
        ASSERT_TRUE(monitor);
        watcher = std::make_unique<DeviceWatcher>(*monitor, [this](const auto& event) {
            ForwardDeviceChange(*procedure, event);
            {
                std::lock_guard lock(eventsMutex);
                ++eventsHandled;
            }
            eventsChanged.notify_all();
        });
    }

    // Until the watcher has handed on `count` events in all.
    bool WaitForEvents(int count) {
        std::unique_lock lock(eventsMutex);
        return eventsChanged.wait_for(lock, 5s, [&] { return eventsHandled >= count; });
    }

    // Opens line `index` of the given object as the open/close button does.
    void OpenDevice(hid::HidDevice& object, std::uint8_t mode, int index = 0) {
        ASSERT_GT(object.EnumerateDevices(), index);
        ASSERT_EQ(object.Open(index), hid::kOpenOk);
        procedure->setOpenMode(mode);
        opened = {object.openSerial(), object.openPort()};
    }

    void RunUpdate() { procedure->StartSecondStage({image, opened, procedure->openMode()}); }

    // Opens line 0 of `object`, runs an update and returns how it ended.
    UpdateResult UpdateFrom(hid::HidDevice& object, std::uint8_t mode) {
        OpenDevice(object, mode);
        RunUpdate();
        const auto result = ui.WaitForResult();
        EXPECT_TRUE(result) << "the update never ended";
        return result.value_or(UpdateResult{});
    }

    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    hid::AppDevice app{bus};
    hid::DfuDevice dfu{bus};
    RecordingUi ui;
    std::shared_ptr<const image::PreparedImage> image = std::make_shared<image::PreparedImage>();
    hid::DeviceIdentity opened;
    std::unique_ptr<platform::HotplugMonitor> monitor;
    std::unique_ptr<UpdateProcedure> procedure;
    std::unique_ptr<DeviceWatcher> watcher;
    std::mutex eventsMutex;
    std::condition_variable eventsChanged;
    int eventsHandled = 0;
};

std::vector<int> Range(int first, int last) {
    std::vector<int> v;
    for (int i = first; i <= last; ++i) v.push_back(i);
    return v;
}

TEST_F(UpdateProcedureTest, UpdateModePathProgressAndImage) {
    auto& device = AddDevice(Mode::update, "VUMO-0001");
    const auto file = LoadImage(300, 2);
    MakeProcedure();
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::ok);
    EXPECT_EQ(result.blocksSent, 300u);
    EXPECT_EQ(ui.began, 300u);
    // No mode switch: straight from the second stage to the upload's request and the handshake.
    EXPECT_EQ(ui.milestones,
              (std::vector<Milestone>{Milestone::begun, Milestone::uploadRequested,
                                      Milestone::command, Milestone::command, Milestone::command,
                                      Milestone::startRequested, Milestone::startSent}));
    EXPECT_EQ(ui.blocksSent, Range(0, 299));
    EXPECT_EQ(device.firmware(), file);
    EXPECT_EQ(device.locationCode(), 2);
    EXPECT_EQ(device.sizeByte(), 300 % 256);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Firmware uploaded.\r\nNow Rebooting.");
    EXPECT_TRUE(ui.boxes[0].completion);
    // Location 2: no restart, and nothing waits for a removal.
    EXPECT_EQ(device.restarts(), 0u);
    EXPECT_FALSE(procedure->closeOnRemoval());
    EXPECT_EQ(dfu.updateInProgress.load(), 0u);
}

TEST_F(UpdateProcedureTest, ApplicationModePathSwitchesUploadsAndRestarts) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const auto file = LoadImage(40, 1);
    ui.emulatorRestarts = [&device] { return device.restarts(); };
    MakeProcedure();
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message;
    EXPECT_EQ(result.serial, "VUMO-0001");
    EXPECT_EQ(ui.began, 40u);
    // The return, twenty settling passes, then as from update mode.
    std::vector<Milestone> expected{Milestone::begun, Milestone::deviceBack};
    expected.insert(expected.end(), 20, Milestone::settlePass);
    for (auto m : {Milestone::uploadRequested, Milestone::command, Milestone::command,
                   Milestone::command, Milestone::startRequested, Milestone::startSent})
        expected.push_back(m);
    EXPECT_EQ(ui.milestones, expected);
    EXPECT_EQ(ui.blocksSent, Range(0, 39));
    EXPECT_EQ(device.firmware(), file);
    EXPECT_TRUE(ui.deviceOpened);
    // The restart goes out only after the completion box has been closed.
    EXPECT_EQ(ui.restartsWhenBoxClosed, 0u);
    EXPECT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(device.restarts(), 1u);
    EXPECT_TRUE(ui.uploadClosed);
}

struct TimeoutCase {
    const char* name;
    sim::Faults faults;
    std::string message;
    Step step;
    std::uint32_t blocksSent;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }

sim::Faults Silent(sim::Reply reply) {
    sim::Faults f;
    f.silent.insert(reply);
    return f;
}

sim::Faults SilentBlock(std::uint32_t block) {
    sim::Faults f;
    f.silentBlocks.insert(block);
    return f;
}

class UpdateTimeoutTest : public UpdateProcedureTest,
                          public testing::WithParamInterface<TimeoutCase> {};

TEST_P(UpdateTimeoutTest, SaysWhichStepGotNoReplyAndSendsNothingMore) {
    const auto& c = GetParam();
    auto& device = AddDevice(Mode::update, "VUMO-0001", c.faults);
    LoadImage(12, 1);
    MakeProcedure();
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, c.step);
    EXPECT_EQ(result.blocksSent, c.blocksSent);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, c.message);
    EXPECT_FALSE(ui.boxes[0].completion);
    EXPECT_EQ(dfu.updateInProgress.load(), 0u);
    EXPECT_EQ(device.restarts(), 0u);
    EXPECT_EQ(device.blocksReceived(), c.step == Step::block ? c.blocksSent + 1 : c.blocksSent);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, UpdateTimeoutTest,
    testing::Values(
        TimeoutCase{"ready", Silent(sim::Reply::ready), "Ready Time out", Step::ready, 0},
        TimeoutCase{"location", Silent(sim::Reply::location), "DFU Location time out",
                    Step::location, 0},
        TimeoutCase{"size", Silent(sim::Reply::size), "DFU Size time out", Step::size, 0},
        TimeoutCase{"start", Silent(sim::Reply::start), "DFU start time out", Step::start, 0},
        TimeoutCase{"first_block", SilentBlock(0), "DFU upload time out : 0", Step::block, 0},
        TimeoutCase{"block_7", SilentBlock(7), "DFU upload time out : 7", Step::block, 7},
        TimeoutCase{"end", Silent(sim::Reply::end), "DFU end time out", Step::end, 12}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(UpdateProcedureTest, EndReplyArrivingWhileTheTimeOutBoxIsOpenStillCompletes) {
    // The END reply comes late: after the wait gave up, while the user reads the box.
    auto& device = AddDevice(Mode::update, "VUMO-0001", Silent(sim::Reply::end));
    LoadImage(3, 1);
    ui.onBox = [this](const std::string& text) {
        if (text != "DFU end time out") return;
        std::array<std::uint8_t, 17> end{};
        const std::string_view word = "DFUEND";
        std::copy(word.begin(), word.end(), end.begin() + 3);
        dfu.ParseReply(end);
    };
    MakeProcedure();
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::ok);
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].text, "DFU end time out");
    EXPECT_EQ(ui.boxes[1].text, "Firmware uploaded.\r\nNow Rebooting.");
    // Location 1: the restart follows the completion box.
    EXPECT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
}

TEST_F(UpdateProcedureTest, FlagsLeftByAnEarlierUpdateDoNotAnswerForTheNext) {
    // The first update sends no restart (location 2), so its reply flags stay set.
    auto& device = AddDevice(Mode::update, "VUMO-0001");
    LoadImage(3, 2);
    MakeProcedure();
    OpenDevice(dfu, protocol::kModeUpdate);
    RunUpdate();
    ASSERT_TRUE(ui.WaitForResult());
    ASSERT_EQ(ui.result->outcome, Outcome::ok);
    EXPECT_EQ(dfu.flags().Get(protocol::Flag::ready), 1u);
    dfu.Close();
    device.unplug();

    auto& silent = AddDevice(Mode::update, "VUMO-0002", Silent(sim::Reply::ready));
    ui.result.reset();
    ui.boxes.clear();
    ASSERT_EQ(dfu.EnumerateDevices(), 1);
    ASSERT_EQ(dfu.Open(0), hid::kOpenOk);
    RunUpdate();
    const auto result = ui.WaitForResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->step, Step::ready);
    EXPECT_EQ(ui.boxes.back().text, "Ready Time out");
    EXPECT_FALSE(silent.status().locationCode.has_value());
}

TEST_F(UpdateProcedureTest, PicksTheSwitchedDeviceAmongSeveralInUpdateMode) {
    auto& other = AddDevice(Mode::update, "VUMO-0002");
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const auto file = LoadImage(5, 2);
    MakeProcedure();
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message;
    EXPECT_EQ(device.firmware(), file);
    EXPECT_EQ(other.blocksReceived(), 0u);
    EXPECT_FALSE(other.locationCode().has_value());
}

TEST_F(UpdateProcedureTest, RefusesToGuessWhenTheSwitchedDeviceComesBackUnderAnotherSerial) {
    sim::Faults faults;
    faults.newSerial = true;
    auto& other = AddDevice(Mode::update, "VUMO-0002");
    auto& device = AddDevice(Mode::application, "VUMO-0001", faults);
    LoadImage(5, 2);
    MakeProcedure();
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, Step::open);
    EXPECT_NE(ui.boxes.back().text.find("Several devices are in update mode"), std::string::npos);
    EXPECT_FALSE(other.locationCode().has_value());
    EXPECT_FALSE(device.locationCode().has_value());
}

TEST_F(UpdateProcedureTest, AnotherDeviceArrivingDuringTheSwitchDoesNotEndTheWait) {
    // A keyboard plugged in while the device is away must not make the update give up.
    sim::EmulatorConfig config;
    config.serial = "VUMO-0001";
    config.returnDelay = 300ms;
    emulators.push_back(std::make_unique<sim::DeviceEmulator>(port, config));
    auto& device = *emulators.back();
    const auto file = LoadImage(4, 2);
    MakeProcedure();
    OpenDevice(app, protocol::kModeApplication);
    RunUpdate();
    ASSERT_TRUE(device.waitForMode(Mode::absent, std::chrono::steady_clock::now() + 5s));
    struct Nothing final : platform::OutputSink {
        void onOutputReport(std::span<const std::uint8_t>) override {}
    };
    bus.attach({0x046D, 0xC31C, "Keyboard", "", "", {9, 2}, {}}, std::make_shared<Nothing>());
    const auto result = ui.WaitForResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, Outcome::ok) << result->message;
    EXPECT_EQ(device.firmware(), file);
}

TEST_F(UpdateProcedureTest, DeviceThatNeverComesBackIsReportedAndTheWaitEnds) {
    sim::Faults faults;
    faults.noReturn = true;
    AddDevice(Mode::application, "VUMO-0001", faults);
    LoadImage(4, 1);
    MakeProcedure({300ms, 400ms, 1s});
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, Step::deviceReturn);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ui.boxes[0].text.find("did not come back in update mode"), std::string::npos);
    EXPECT_FALSE(procedure->modeSwitchPending());
    EXPECT_FALSE(procedure->closeOnRemoval());
    EXPECT_FALSE(procedure->busy());
    // The removal closed the application-mode object.
    EXPECT_FALSE(app.isOpen());
    EXPECT_EQ(procedure->openMode(), 0);
}

TEST_F(UpdateProcedureTest, UnplugMidTransferEndsTheWaitAtOnceAndSaysWhy) {
    sim::Faults faults;
    faults.unplugAtBlock = 3;
    AddDevice(Mode::update, "VUMO-0001", faults);
    LoadImage(10, 1);
    // A minute's reply limit: only the departure can end the wait within the test's wait.
    MakeProcedure({60s, 2s, 1s});
    OpenDevice(dfu, protocol::kModeUpdate);
    RunUpdate();
    const auto result = ui.WaitForResult(5s);
    ASSERT_TRUE(result) << "the departure of the device did not end the reply wait";
    EXPECT_EQ(result->step, Step::block);
    EXPECT_EQ(result->blocksSent, 3u);
    // The fixed message stays; the detail says what happened and what to do.
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "DFU upload time out : 3");
    EXPECT_NE(ui.boxes[0].detail.find("left the bus at block 3"), std::string::npos)
        << ui.boxes[0].detail;
    EXPECT_NE(result->cause.find("running the update again"), std::string::npos);
}

TEST_F(UpdateProcedureTest, StopWakesAWaitAtOnce) {
    auto& device = AddDevice(Mode::update, "VUMO-0001", Silent(sim::Reply::location));
    LoadImage(4, 1);
    MakeProcedure({60s, 60s, 60s});
    OpenDevice(dfu, protocol::kModeUpdate);
    RunUpdate();
    // Once READY has gone out the worker waits for LOCAT, with a minute's limit; the result
    // must come long before that.
    ASSERT_TRUE(device.waitForReplies(sim::Reply::ready, 1, std::chrono::steady_clock::now() + 5s));
    procedure->Stop();
    const auto result = ui.WaitForResult(5s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, Outcome::interrupted);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(UpdateProcedureTest, AStopBeforeTheSecondStageSendsNothingAndReportsNotStarted) {
    auto& inApp = AddDevice(Mode::application, "VUMO-0001");
    auto& inUpdate = AddDevice(Mode::update, "VUMO-0002");
    LoadImage(4, 1);
    // The stop comes once the second stage has begun, before it has decided anything (as a
    // station's Abort lands between Start() and StartSecondStage()).
    Seams seams;
    seams.secondStage = [this] { procedure->Stop(); };
    MakeProcedure({300ms, 2s, 1s}, {}, std::move(seams));
    const auto fromApp = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(fromApp.outcome, Outcome::interrupted);
    EXPECT_EQ(fromApp.message, kNotStartedText);
    EXPECT_EQ(fromApp.serial, "VUMO-0001");
    ui.result.reset();
    const auto fromUpdate = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(fromUpdate.message, kNotStartedText);
    EXPECT_EQ(fromUpdate.serial, "VUMO-0002");
    EXPECT_EQ(ui.finishes, 2);
    EXPECT_EQ(inApp.modeSwitches(), 0u);
    EXPECT_EQ(bus.writeCount(inUpdate.path()), 0u);
    EXPECT_EQ(dfu.updateInProgress.load(), 0u);
    EXPECT_FALSE(procedure->busy());
}

TEST_F(UpdateProcedureTest, AStopBetweenTheReturnAndTheWorkerTakingItEndsTheUpdateOnce) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    LoadImage(4, 1);
    Seams seams;
    seams.arrivalTaken = [this] { procedure->Stop(); };
    MakeProcedure({300ms, 2s, 1s}, {}, std::move(seams));
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::interrupted);
    EXPECT_EQ(result.step, Step::deviceReturn);
    EXPECT_EQ(ui.finishes, 1);
    EXPECT_EQ(device.modeSwitches(), 1u);
    EXPECT_EQ(device.repliesSent(sim::Reply::ready), 0u);
    EXPECT_FALSE(procedure->busy());
}

TEST_F(UpdateProcedureTest, NothingOpenDoesNothingButTheProgressStart) {
    LoadImage(4, 1);
    MakeProcedure();
    RunUpdate();
    EXPECT_EQ(ui.began, 4u);
    EXPECT_EQ(ui.milestones, std::vector<Milestone>{Milestone::begun});
    EXPECT_FALSE(procedure->busy());
}

TEST_F(UpdateProcedureTest, ARefreshBetweenChoosingAndOpeningCannotSwapTheDevice) {
    // Another device in update mode sits before the switched one in the list. While the worker
    // is between choosing and opening, a refresh on another thread (the window's, the
    // watcher's) sees that device gone and a third one arrived: by list position, the third
    // would now be where the switched device was.
    auto& other = AddDevice(Mode::update, "VUMO-0002");
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const auto file = LoadImage(5, 2);
    sim::DeviceEmulator* third = nullptr;
    Seams seams;
    seams.deviceChosen = [&] {
        if (third != nullptr) return;
        other.unplug();
        third = &AddDevice(Mode::update, "VUMO-0003");
        dfu.EnumerateDevices();
    };
    MakeProcedure({300ms, 2s, 1s}, {}, std::move(seams));
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message;
    EXPECT_EQ(result.serial, "VUMO-0001");
    EXPECT_EQ(device.firmware(), file);
    ASSERT_NE(third, nullptr);
    EXPECT_FALSE(third->locationCode().has_value());
    EXPECT_EQ(third->blocksReceived(), 0u);
}

TEST_F(UpdateProcedureTest, AnArrivalAtTheReturnDeadlineEndsTheWaitOneWayOnly) {
    // The device comes back just as the limit runs out: the arrival is found to end the wait,
    // and before it can say so the worker gives up. Exactly one of the two may go on.
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    LoadImage(4, 2);
    Seams seams;
    seams.arrivalDecided = [this] { ui.WaitForBox("did not come back"); };
    MakeProcedure({300ms, 200ms, 1s}, {}, std::move(seams));
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, Step::deviceReturn);
    // The removal and the late arrival have both been handled; the worker is joined.
    ASSERT_TRUE(WaitForEvents(2));
    EXPECT_FALSE(procedure->busy());
    procedure->Stop();
    EXPECT_EQ(ui.finishes, 1);
    EXPECT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(device.repliesSent(sim::Reply::ready), 0u);
    EXPECT_FALSE(device.locationCode().has_value());
}

TEST_F(UpdateProcedureTest, ADeviceThatNeverLeftIsClosedAndAnotherOneIsNotFlashed) {
    // The application-mode device ignores the switch and stays on the bus; meanwhile another
    // device turns up in update mode. It is not the device the user chose.
    struct Deaf final : platform::OutputSink {
        void onOutputReport(std::span<const std::uint8_t>) override {}
    };
    bus.attach({kVendorId,
                kAppProductId,
                "Vumo Device",
                "VUMO-0001",
                "Vumo",
                {protocol::kInputReportLength, protocol::kAppReportLength},
                {}},
               std::make_shared<Deaf>());
    LoadImage(4, 2);
    MakeProcedure();
    OpenDevice(app, protocol::kModeApplication);
    RunUpdate();
    auto& other = AddDevice(Mode::update, "VUMO-0002");
    const auto result = ui.WaitForResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, Outcome::failed);
    EXPECT_EQ(result->step, Step::open);
    EXPECT_NE(ui.boxes.back().text.find("still in application mode"), std::string::npos)
        << ui.boxes.back().text;
    // Nothing is left open that no control could close.
    EXPECT_FALSE(app.isOpen());
    EXPECT_FALSE(dfu.isOpen());
    EXPECT_EQ(procedure->openMode(), 0);
    EXPECT_FALSE(other.locationCode().has_value());
}

TEST_F(UpdateProcedureTest, ConfirmedBootMakesTheUpdateOkOnlyOnceTheDeviceIsBack) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const auto file = LoadImage(6, 1);
    Checks checks;
    checks.confirmBoot = true;
    MakeProcedure({300ms, 2s, 1s}, checks);
    const auto result = UpdateFrom(app, protocol::kModeApplication);
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message << " " << result.cause;
    EXPECT_TRUE(result.restarted);
    EXPECT_EQ(result.message, "Firmware uploaded.\r\nNow Rebooting.");
    // The result came with the device back on the bus in application mode (the emulator
    // counts its own arrival a moment after the bus has reported it).
    ASSERT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(procedure->bootedPath(), device.path());
    EXPECT_EQ(device.firmware(), file);
}

TEST_F(UpdateProcedureTest, ADeviceThatDoesNotComeBackAfterItsRestartFailsAtRestart) {
    sim::Faults faults;
    faults.noReturn = true;
    AddDevice(Mode::update, "VUMO-0001", faults);
    LoadImage(6, 1);
    Checks checks;
    checks.confirmBoot = true;
    MakeProcedure({300ms, 300ms, 1s}, checks);
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, Step::restart);
    EXPECT_TRUE(result.restarted);
    EXPECT_EQ(result.blocksSent, 6u);
    EXPECT_EQ(result.message, "uploaded, but the device did not come back in application mode");
    EXPECT_NE(result.cause.find("VUMO-0001"), std::string::npos);
}

TEST_F(UpdateProcedureTest, WithoutARestartTheConfirmedUpdateSaysTheDeviceStaysInItsLoader) {
    auto& device = AddDevice(Mode::update, "VUMO-0001");
    LoadImage(3, 2);
    Checks checks;
    checks.confirmBoot = true;
    MakeProcedure({300ms, 300ms, 1s}, checks);
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::ok);
    EXPECT_FALSE(result.restarted);
    EXPECT_NE(result.note.find("update loader"), std::string::npos);
    EXPECT_EQ(device.restarts(), 0u);
}

// A loader that drops a report coming sooner than its min-gap after its last reply. Its clock
// runs hours between calls, so that the upload passes, until the completion box freezes it
// right after the END reply: then `dropped` restart commands find it still busy.
class BusyAfterEndTest : public UpdateProcedureTest {
protected:
    sim::DeviceEmulator& AddLoader(int dropped) {
        auto config = sim::test::FastConfig(Mode::update, "VUMO-0001", {});
        config.faults.minGap = 5ms;
        config.clock = [this, dropped] {
            const auto hour = [](long long n) {
                return std::chrono::steady_clock::time_point{} + std::chrono::hours(n);
            };
            if (!frozen) return hour(++calls);
            // Each restart command asks once; after `dropped` of them the loader is ready.
            return ++callsFrozen <= dropped ? hour(calls) : hour(calls + 1);
        };
        // The END reply was the clock's last call before the box.
        ui.onBox = [this](const std::string& text) {
            if (text.rfind("Firmware uploaded", 0) == 0) frozen = true;
        };
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(port, config));
        return *emulators.back();
    }
    UpdateResult Run() {
        Checks checks;
        checks.confirmBoot = true;
        Limits limits{300ms, 2s, 1s};
        limits.restartLeave = 50ms;
        MakeProcedure(limits, checks);
        return UpdateFrom(dfu, protocol::kModeUpdate);
    }
    std::atomic<long long> calls{0};
    std::atomic<int> callsFrozen{0};
    std::atomic<bool> frozen{false};
};

TEST_F(BusyAfterEndTest, ARestartCommandThatFindsTheLoaderBusyIsSentAgain) {
    auto& device = AddLoader(2);
    const auto file = LoadImage(3, 1);
    const auto result = Run();
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message << " / " << result.cause;
    EXPECT_TRUE(result.restarted);
    EXPECT_EQ(device.status().reportsDropped, 2u);
    EXPECT_EQ(device.restarts(), 1u);
    EXPECT_EQ(device.firmware(), file);
}

TEST_F(BusyAfterEndTest, ALoaderThatStaysFailsAtTheRestartAfterThreeCommands) {
    auto& device = AddLoader(1000);
    LoadImage(3, 1);
    const auto result = Run();
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.step, Step::restart);
    EXPECT_EQ(device.status().reportsDropped, 3u);  // three restart commands in all
    EXPECT_EQ(device.restarts(), 0u);
    EXPECT_NE(result.cause.find("stayed on the bus"), std::string::npos) << result.cause;
}

TEST_F(UpdateProcedureTest, StandardPacingKeepsItsPauseBeforeTheRestart) {
    sim::Faults faults;
    faults.minGap = 5ms;
    auto& device = AddDevice(Mode::update, "VUMO-0001", faults);
    LoadImage(2, 1);
    Checks checks;
    checks.confirmBoot = true;
    MakeProcedure({300ms, 2s, 1s}, checks, {}, std::make_unique<RealPacer>());
    const auto result = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(result.outcome, Outcome::ok) << result.message << " / " << result.cause;
    // The first restart command was taken: it came 10 ms after the END reply, not at once.
    EXPECT_EQ(device.status().reportsDropped, 0u);
    EXPECT_EQ(device.restarts(), 1u);
}

TEST(UpdateProcedureStart, ThreadsThatCannotStartAreReportedNotAborts) {
    sim::SimHidBus bus;
    hid::AppDevice app{bus};
    hid::DfuDevice dfu{bus};
    RecordingUi ui;
    platform::SetThreadStartFailureForTesting(
        [](const char* what) { return std::string_view(what) != "listener"; });
    {
        UpdateProcedure procedure(app, dfu, ui, std::make_unique<CountingPacer>());
        EXPECT_FALSE(procedure.Start());
        EXPECT_NE(procedure.startError().find("could not be started"), std::string::npos);
        auto monitor = bus.monitor();
        ASSERT_TRUE(monitor);
        DeviceWatcher watcher(*monitor, [](const auto&) {});
        EXPECT_FALSE(watcher.running());
        EXPECT_NE(watcher.error().find("could not be started"), std::string::npos);
    }
    platform::SetThreadStartFailureForTesting({});
    UpdateProcedure procedure(app, dfu, ui, std::make_unique<CountingPacer>());
    EXPECT_TRUE(procedure.Start());
}

// Fast pacing: the same conversation, no fixed pause, READY? probes after the return.
class FastPacingTest : public UpdateProcedureTest {
protected:
    UpdateResult RunPaced(Pacing pacing, sim::DeviceEmulator& device, std::uint8_t mode,
                          Pauses pauses = {}) {
        auto pacer = std::make_unique<CountingPacer>(pacing);
        counted = pacer.get();
        MakeProcedure({300ms, 2s, 1s}, {}, {}, std::move(pacer), pauses);
        const auto result =
            UpdateFrom(mode == protocol::kModeApplication ? static_cast<hid::HidDevice&>(app)
                                                          : static_cast<hid::HidDevice&>(dfu),
                       mode);
        written = bus.writeCount(device.path());
        return result;
    }
    CountingPacer* counted = nullptr;
    std::size_t written = 0;
};

TEST_F(FastPacingTest, SameConversationWithoutAPauseFromThePacer) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const auto file = LoadImage(20, 2);
    const auto result = RunPaced(Pacing::fast, device, protocol::kModeApplication);
    ASSERT_EQ(result.outcome, Outcome::ok) << result.message << " " << result.cause;
    EXPECT_EQ(counted->count(), 0);
    EXPECT_EQ(device.firmware(), file);
    // READY?, LOCATION, SIZE, DFUSTART, 20 blocks, DFUEND: one of each, as standard pacing
    // sends them, and the same steps as standard pacing too.
    EXPECT_EQ(written, 25u);
    for (auto reply : {sim::Reply::ready, sim::Reply::location, sim::Reply::size, sim::Reply::start,
                       sim::Reply::end})
        EXPECT_EQ(device.repliesSent(reply), 1u);
    EXPECT_EQ(device.repliesSent(sim::Reply::image), 20u);
    EXPECT_EQ(ui.milestones.size(), 28u);
    EXPECT_EQ(ui.blocksSent, Range(0, 19));
}

TEST_F(FastPacingTest, StandardPacingSendsTheSameReports) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    LoadImage(20, 2);
    const auto result = RunPaced(Pacing::standard, device, protocol::kModeApplication);
    ASSERT_EQ(result.outcome, Outcome::ok);
    EXPECT_EQ(written, 25u);
    // 1 ms, 20 settling passes, the pause after the open and 1 ms in StartUpload, one before
    // each of READY?, LOCATION, SIZE, one after them, one before DFUSTART, 10 ms before the
    // first block, 20 ms between two blocks (the 10 ms after one and before the next, in one
    // wait), 10 ms after the last, one before DFUEND.
    EXPECT_EQ(counted->count(), 1 + 20 + 1 + 1 + 3 + 1 + 1 + (1 + 19 + 1) + 1);
    EXPECT_EQ(counted->total(), std::chrono::milliseconds(1 + 20 * 500 + 10 + 1 + 3 * 10 + 10 + 10 +
                                                          20 * (10 + 10) + 10));
}

TEST_F(FastPacingTest, ALoaderThatAnswersLateIsAskedAgainUntilItDoes) {
    sim::Faults faults;
    faults.readyAfter = 300ms;
    auto& device = AddDevice(Mode::application, "VUMO-0001", faults);
    const auto file = LoadImage(4, 2);
    const auto result = RunPaced(Pacing::fast, device, protocol::kModeApplication);
    ASSERT_EQ(result.outcome, Outcome::ok) << result.message;
    EXPECT_EQ(device.firmware(), file);
    EXPECT_EQ(device.repliesSent(sim::Reply::ready), 1u);
    // At least one READY? went unanswered before the one that was.
    EXPECT_GT(written, 9u);
}

TEST_F(FastPacingTest, ALoaderThatNeverAnswersGetsTheUsualTimeOutWithTheHint) {
    auto& device = AddDevice(Mode::application, "VUMO-0001", Silent(sim::Reply::ready));
    LoadImage(4, 2);
    // Settling of 20 × 25 ms: the probes go on for half a second.
    const auto result =
        RunPaced(Pacing::fast, device, protocol::kModeApplication, Pauses{1ms, 10ms, 25ms, 20});
    EXPECT_EQ(result.step, Step::ready);
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, "Ready Time out");
    EXPECT_NE(result.cause.find("--pacing standard"), std::string::npos) << result.cause;
    EXPECT_GT(written, 1u);
}

TEST_F(FastPacingTest, ALoaderThatNeedsTheGapsPassesStandardAndFailsFastWithTheHint) {
    sim::Faults faults;
    faults.minGap = 5ms;
    auto& standard = AddDevice(Mode::update, "VUMO-0001", faults);
    const auto file = LoadImage(3, 2);
    // Real pauses: the 10 ms before each report are what the loader needs.
    MakeProcedure({300ms, 2s, 1s}, {}, {}, std::make_unique<RealPacer>());
    const auto ok = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(ok.outcome, Outcome::ok) << ok.message;
    EXPECT_EQ(standard.firmware(), file);
    procedure->Stop();
    watcher.reset();
    procedure.reset();
    dfu.Close();
    standard.unplug();

    AddDevice(Mode::update, "VUMO-0002", faults);
    ui.result.reset();
    ui.boxes.clear();
    MakeProcedure({300ms, 2s, 1s}, {}, {}, std::make_unique<RealPacer>(Pacing::fast));
    const auto failed = UpdateFrom(dfu, protocol::kModeUpdate);
    EXPECT_EQ(failed.outcome, Outcome::failed);
    EXPECT_NE(failed.cause.find("try again with --pacing standard"), std::string::npos)
        << failed.message << " / " << failed.cause;
}

TEST(PacingNames, RoundTrip) {
    EXPECT_EQ(ParsePacing("standard"), Pacing::standard);
    EXPECT_EQ(ParsePacing("fast"), Pacing::fast);
    EXPECT_FALSE(ParsePacing("slow"));
    EXPECT_STREQ(PacingName(Pacing::fast), "fast");
}

}  // namespace
}  // namespace vumo::update
