// The station window on the simulated bus with counted pauses: devices flashed at once, each
// tile green or red with its message, tiles that follow arrivals and removals, Stop, closing
// during a run, and the flash log's lines.

#include "app/application.h"
#include "app/station_tile.h"
#include "app/station_window.h"
#include "platform/sim_hid_bus.h"
#include "sim/device_emulator.h"
#include "sim/sim_bus_port.h"
#include "sim/sim_test_support.h"
#include "sim/simulation.h"
#include "test_support.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

namespace vumo::app {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using sim::Mode;

class StationWindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        tool = temp.filePath(QStringLiteral("checksum"));
        QFile script(tool);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho 'Adding 0x10008000'\necho 'Adding 0x1a020000'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        std::mt19937 rng(11);
        std::vector<char> bytes(1500);
        for (auto& b : bytes) b = static_cast<char>(rng());
        bytes[0] = 0;
        firmware = temp.filePath(QStringLiteral("firmware.bin"));
        QFile file(firmware);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
        logFile = temp.filePath(QStringLiteral("logs/flash.jsonl"));
    }
    void TearDown() override {
        window.reset();
        emulators.clear();
        simulation.reset();
    }

    StationWindowOptions Options(std::chrono::milliseconds reply = 300ms) {
        StationWindowOptions o;
        o.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
        o.limits = {reply, 1s, 1s};
        o.prepare.toolPath = tool.toStdString();
        o.applicationName = QString::fromUtf8(kProgramName);
        o.logPath = logFile;
        return o;
    }

    void MakeWindow(platform::HidBus& on, StationWindowOptions options) {
        window = std::make_unique<StationWindow>(on, std::move(options));
        // A box nobody expected must not hang the run.
        window->messageBoxes().SetAnswerAll(true);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(window->ChooseFirmware(firmware)) << window->verdictText().toStdString();
    }

    void MakeSimulation(const std::string& text) {
        sim::SimulateOptions options;
        std::string error;
        ASSERT_TRUE(sim::ParseSimulateOptions(text, options, error)) << error;
        simulation = std::make_unique<sim::Simulation>(options);
    }

    sim::DeviceEmulator& Add(std::string serial, std::string portName, sim::Faults faults = {}) {
        auto config = sim::test::FastConfig(Mode::application, std::move(serial), std::move(faults));
        config.port = std::move(portName);
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(port, config));
        return *emulators.back();
    }

    // Tiles by serial number.
    std::map<std::string, StationTile*> Tiles() {
        std::map<std::string, StationTile*> out;
        for (StationTile* t : window->tiles()) out[t->device().serial] = t;
        return out;
    }
    int Finished() { return window->counters().ok + window->counters().failed; }

    QStringList LogLines() {
        QFile file(logFile);
        if (!file.open(QIODevice::ReadOnly)) return {};
        QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
        return lines;
    }

    QTemporaryDir temp;
    QString tool, firmware, logFile;
    std::unique_ptr<sim::Simulation> simulation;
    platform::SimHidBus bus;
    sim::SimBusPort port{bus};
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    std::unique_ptr<StationWindow> window;
};

TEST_F(StationWindowTest, SixDevicesTwoFaultsGiveFourGreenAndTwoRedWithTheirMessages) {
    MakeSimulation("dfu,devices=6,2@silent=IMAGE:3,5@no-return,return-delay=5");
    MakeWindow(simulation->bus(), Options());
    // The file was checked once, when chosen: verdict, location, size and sha256.
    EXPECT_TRUE(window->verdictText().startsWith(QStringLiteral("Firmware: location 1, 1,500 bytes")))
        << window->verdictText().toStdString();
    EXPECT_TRUE(window->verdictText().contains(QStringLiteral("sha256 ")));
    EXPECT_EQ(window->logPath(), logFile);

    ASSERT_TRUE(window->OnStartClicked());
    EXPECT_TRUE(window->running());
    EXPECT_FALSE(window->startButton()->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 6; }))
        << window->countersText().toStdString();

    const auto tiles = Tiles();
    ASSERT_EQ(tiles.size(), 6u);
    for (const auto& [serial, tile] : tiles) {
        if (serial == "VUMO-0002") {
            EXPECT_EQ(tile->state(), StationTile::State::failed);
            EXPECT_EQ(tile->stateText(), QStringLiteral("FAILED"));
            EXPECT_EQ(tile->message(), QStringLiteral("DFU upload time out : 3"));
        } else if (serial == "VUMO-0005") {
            EXPECT_EQ(tile->state(), StationTile::State::failed);
            EXPECT_EQ(tile->message(),
                      QStringLiteral("uploaded, but the device did not come back in "
                                     "application mode"));
        } else {
            EXPECT_EQ(tile->state(), StationTile::State::ok) << serial << tile->message().toStdString();
            EXPECT_EQ(tile->stateText(), QStringLiteral("OK"));
            EXPECT_EQ(tile->progress(), 1000);
        }
        EXPECT_FALSE(tile->device().port.empty());
    }
    EXPECT_EQ(window->counters().ok, 4);
    EXPECT_EQ(window->counters().failed, 2);
    EXPECT_EQ(window->counters().running, 0);
    EXPECT_EQ(window->countersText(), QStringLiteral("OK 4    Failed 2    Running 0"));

    // One line per device, written before its tile turned, as the command line writes them.
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 6);
    int ok = 0, failed = 0;
    for (const QString& line : lines) {
        EXPECT_TRUE(line.startsWith(QStringLiteral("{\"time\": "))) << line.toStdString();
        EXPECT_TRUE(line.contains(QStringLiteral("\"file\": \"") + firmware)) << line.toStdString();
        EXPECT_TRUE(line.contains(QStringLiteral("\"size\": 1500, \"blocks\": 12, \"location\": 1")))
            << line.toStdString();
        if (line.contains(QStringLiteral("\"outcome\": \"ok\""))) ++ok;
        if (line.contains(QStringLiteral("\"outcome\": \"failed\""))) ++failed;
        if (line.contains(QStringLiteral("\"serial\": \"VUMO-0002\""))) {
            EXPECT_TRUE(line.contains(
                QStringLiteral("\"step\": \"block\", \"message\": \"DFU upload time out : 3\"")))
                << line.toStdString();
        }
    }
    EXPECT_EQ(ok, 4);
    EXPECT_EQ(failed, 2);

    // Stop ends a station that has nothing left to do at once.
    QSignalSpy done(window.get(), &StationWindow::stationDone);
    window->OnStopClicked();
    ASSERT_TRUE(done.wait(kWaitMs));
    EXPECT_FALSE(window->running());
    EXPECT_TRUE(window->startButton()->isEnabled());
}

TEST_F(StationWindowTest, TilesFollowArrivalsAndRemovals) {
    MakeWindow(bus, Options());
    ASSERT_TRUE(window->OnStartClicked());
    EXPECT_TRUE(window->tiles().empty());

    auto* first = &Add("VUMO-0001", "usb-1");
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 1; }));
    ASSERT_EQ(Tiles().size(), 1u);
    EXPECT_EQ(Tiles()["VUMO-0001"]->state(), StationTile::State::ok);
    EXPECT_EQ(Tiles()["VUMO-0001"]->device().port, "usb-1");

    // A new device gets a tile of its own; the finished one's stays.
    Add("VUMO-0002", "usb-2");
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 2; }));
    ASSERT_EQ(Tiles().size(), 2u);

    // The finished device leaves: its tile goes, the other stays.
    std::erase_if(emulators, [&](const auto& e) { return e.get() == first; });
    ASSERT_TRUE(WaitUntil([&] { return Tiles().size() == 1u; }));
    EXPECT_EQ(Tiles().count("VUMO-0002"), 1u);

    // Plugged in again in this run, it is not flashed again and gets no tile.
    Add("VUMO-0001", "usb-1");
    ASSERT_TRUE(WaitUntil([&] {
        return window->statusText() ==
               QStringLiteral("Not flashed: VUMO-0001: already flashed in this run");
    })) << window->statusText().toStdString();
    EXPECT_EQ(Tiles().size(), 1u);
    EXPECT_EQ(Finished(), 2);
}

TEST_F(StationWindowTest, StopLetsRunningDevicesFinishThenStopNowInterruptsThem) {
    sim::Faults silent;
    silent.silent.insert(sim::Reply::ready);
    Add("VUMO-0001", "usb-1", silent);
    MakeWindow(bus, Options(60s));  // READY? waits far longer than the test
    ASSERT_TRUE(window->OnStartClicked());
    ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 1; }));

    window->OnStopClicked();
    EXPECT_TRUE(window->running());
    EXPECT_EQ(window->stopButton()->text(), QStringLiteral("Stop &now"));
    // Draining: a device plugged in now is left alone.
    Add("VUMO-0002", "usb-2");

    QSignalSpy done(window.get(), &StationWindow::stationDone);
    const auto start = std::chrono::steady_clock::now();
    window->OnStopClicked();
    ASSERT_TRUE(done.wait(kWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    // VUMO-0002 came while draining and was never taken.
    ASSERT_EQ(Tiles().size(), 1u);
    EXPECT_EQ(Tiles()["VUMO-0001"]->state(), StationTile::State::failed);
    EXPECT_EQ(Tiles()["VUMO-0001"]->message(), QStringLiteral("The update was interrupted."));
    EXPECT_EQ(window->counters().failed, 1);
    ASSERT_EQ(LogLines().size(), 1);
    EXPECT_TRUE(LogLines()[0].contains(QStringLiteral("\"outcome\": \"interrupted\"")));
    EXPECT_FALSE(window->running());
    EXPECT_TRUE(window->startButton()->isEnabled());
}

TEST_F(StationWindowTest, ClosingDuringARunAsksAndStopsOrLetsFinish) {
    // Cancel keeps the window and the run; "Stop them" interrupts and closes.
    {
        sim::Faults silent;
        silent.silent.insert(sim::Reply::ready);
        Add("VUMO-0001", "usb-1", silent);
        MakeWindow(bus, Options(60s));
        ASSERT_TRUE(window->OnStartClicked());
        ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 1; }));

        auto& boxes = window->messageBoxes();
        boxes.PresetNextAnswer(QMessageBox::Cancel);
        window->close();
        ASSERT_EQ(boxes.history().size(), 1u);
        EXPECT_EQ(boxes.history()[0].buttons,
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        EXPECT_EQ(boxes.history()[0].labels,
                  (QStringList{QStringLiteral("Let them finish"), QStringLiteral("Stop them")}));
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->running());

        boxes.PresetNextAnswer(QMessageBox::No);
        window->close();
        ASSERT_TRUE(WaitUntil([&] { return !window->isVisible(); }));
        // Nothing of the station is left: its threads joined, its device objects gone.
        EXPECT_FALSE(window->stationAlive());
        EXPECT_EQ(window->counters().failed, 1);
        ASSERT_EQ(LogLines().size(), 1);
        EXPECT_TRUE(LogLines()[0].contains(QStringLiteral("\"outcome\": \"interrupted\"")));
        window.reset();
        emulators.clear();
    }
    // "Let them finish": the window closes once the device has ended on its own.
    {
        sim::Faults noReturn;
        noReturn.noReturn = true;
        Add("VUMO-0003", "usb-3", noReturn);
        MakeWindow(bus, Options());
        ASSERT_TRUE(window->OnStartClicked());
        ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 1; }));
        window->messageBoxes().PresetNextAnswer(QMessageBox::Yes);
        window->close();
        EXPECT_TRUE(window->isVisible());
        ASSERT_TRUE(WaitUntil([&] { return !window->isVisible(); }));
        EXPECT_FALSE(window->stationAlive());
        ASSERT_EQ(LogLines().size(), 2);
        EXPECT_TRUE(LogLines()[1].contains(QStringLiteral("\"serial\": \"VUMO-0003\"")));
        EXPECT_TRUE(LogLines()[1].contains(QStringLiteral("\"step\": \"device-return\"")))
            << LogLines()[1].toStdString();
    }
}

TEST_F(StationWindowTest, ARefusedFileCantBeStartedAndSaysWhy) {
    window = std::make_unique<StationWindow>(bus, Options());
    window->messageBoxes().SetAnswerAll(true);
    window->show();
    EXPECT_FALSE(window->startButton()->isEnabled());
    EXPECT_FALSE(window->ChooseFirmware(temp.filePath(QStringLiteral("missing.bin"))));
    EXPECT_TRUE(window->verdictText().startsWith(QStringLiteral("Not usable: ")))
        << window->verdictText().toStdString();
    EXPECT_FALSE(window->startButton()->isEnabled());
    EXPECT_FALSE(window->OnStartClicked());
    EXPECT_TRUE(window->ChooseFirmware(firmware));
    EXPECT_TRUE(window->startButton()->isEnabled());
}

TEST_F(StationWindowTest, TheDefaultLogIsInTheUsersDataFolder) {
    StationWindowOptions o = Options();
    o.logPath.clear();
    window = std::make_unique<StationWindow>(bus, o);
    EXPECT_EQ(window->logPath(), StationWindow::DefaultLogPath());
    EXPECT_TRUE(window->logPath().startsWith(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)));
    window->SetLogPath(logFile);
    EXPECT_EQ(window->logPath(), logFile);
}

}  // namespace
}  // namespace vumo::app
