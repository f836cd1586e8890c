// The station window on the simulated bus with counted pauses: devices flashed at once, each
// tile green or red with its message, tiles that follow arrivals and removals, Stop, closing
// during a run, a run kept over Stop and Start, retries, the end's summary, and the flash log's
// lines.

#include "app/station_window.h"
#include "app/application.h"
#include "app/station_tile.h"
#include "messages/causes.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/sim_test_support.h"
#include "sim/simulation.h"
#include "test_support.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

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
        ASSERT_TRUE(WriteAcceptingTool(tool));

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
        auto config =
            sim::test::FastConfig(Mode::application, std::move(serial), std::move(faults));
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
    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    std::unique_ptr<StationWindow> window;
};

TEST_F(StationWindowTest, SixDevicesTwoFaultsGiveFourGreenAndTwoRedWithTheirMessages) {
    MakeSimulation("dfu,devices=6,2@silent=IMAGE:3,5@no-return,return-delay=5");
    MakeWindow(simulation->bus(), Options());
    // The file was checked once, when chosen: verdict, location, size and sha256.
    EXPECT_TRUE(
        window->verdictText().startsWith(QStringLiteral("Firmware: location 1, 1,500 bytes")))
        << window->verdictText().toStdString();
    EXPECT_TRUE(window->verdictText().contains(QStringLiteral("sha256 ")));
    EXPECT_EQ(window->logPath(), logFile);

    ASSERT_TRUE(window->OnStartClicked());
    EXPECT_TRUE(window->running());
    EXPECT_FALSE(window->startButton()->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 6; })) << window->countersText().toStdString();

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
            EXPECT_EQ(tile->state(), StationTile::State::ok)
                << serial << tile->message().toStdString();
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
        EXPECT_TRUE(
            line.contains(QStringLiteral("\"size\": 1500, \"blocks\": 12, \"location\": 1")))
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
    // VUMO-0002 came while draining and was never taken: it waits for the next Start.
    ASSERT_EQ(Tiles().size(), 2u);
    EXPECT_EQ(Tiles()["VUMO-0002"]->state(), StationTile::State::waiting);
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
        StationWindowOptions o = Options();
        o.closeDelay = 200ms;
        MakeWindow(bus, o);
        ASSERT_TRUE(window->OnStartClicked());
        ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 1; }));
        window->messageBoxes().PresetNextAnswer(QMessageBox::Yes);
        QSignalSpy done(window.get(), &StationWindow::stationDone);
        window->close();
        // The window stays with its running tile until the device has ended, and shows how.
        EXPECT_TRUE(window->isVisible());
        ASSERT_EQ(Tiles().size(), 1u);
        EXPECT_EQ(Tiles()["VUMO-0003"]->state(), StationTile::State::running);
        ASSERT_TRUE(done.wait(kWaitMs));
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->endShown());
        EXPECT_TRUE(window->endText().startsWith(QStringLiteral(
            "0 ok, 1 failed: VUMO-0003 (The device did not come back in update mode")))
            << window->endText().toStdString();
        EXPECT_EQ(Tiles()["VUMO-0003"]->state(), StationTile::State::failed);
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

TEST_F(StationWindowTest, ClosingWhileNothingIsBeingFlashedAsksNothing) {
    // Before Start, and with a station that has flashed its devices and waits for more.
    Add("VUMO-0001", "usb-1");
    MakeWindow(bus, Options());
    window->close();
    EXPECT_FALSE(window->isVisible());
    window->show();
    ASSERT_TRUE(window->OnStartClicked());
    ASSERT_TRUE(WaitUntil([&] { return window->counters().ok == 1; }));
    EXPECT_EQ(window->countersText(), QStringLiteral("OK 1    Failed 0    Running 0"));
    window->close();
    EXPECT_TRUE(window->messageBoxes().history().empty());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->stationAlive());
}

TEST_F(StationWindowTest, TheStationEndingWhileTheCloseQuestionIsOpenClosesTheWindow) {
    // Whichever answer: nothing is left to wait for, so the window goes.
    for (const auto answer : {QMessageBox::Yes, QMessageBox::No}) {
        sim::Faults silent;
        silent.silent.insert(sim::Reply::ready);
        Add("VUMO-0001", "usb-1", silent);
        MakeWindow(bus, Options(400ms));
        ASSERT_TRUE(window->OnStartClicked());
        ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 1; }));
        window->OnStopClicked();  // draining: the station ends when the device has

        window->messageBoxes().SetAnswerAll(false);
        bool answered = false;
        QObject::connect(&window->messageBoxes(), &MessageBoxes::boxShown, window.get(), [&] {
            QTimer::singleShot(0, window.get(), [&, answer] {
                // The device times out and the station ends under the open question.
                EXPECT_TRUE(WaitUntil([&] { return !window->running(); }));
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                box->button(answer)->click();
                answered = true;
            });
        });
        window->close();
        EXPECT_TRUE(answered);
        ASSERT_TRUE(WaitUntil([&] { return !window->isVisible(); }));
        EXPECT_FALSE(window->stationAlive());
        window.reset();
        emulators.clear();
    }
}

TEST_F(StationWindowTest, ARunLastsOverStopAndStartInBenchOrder) {
    // Present before Start: waiting tiles, in the order of their ports, with their count.
    sim::Faults silent;
    silent.silentBlocks.insert(3);
    Add("VUMO-0010", "usb-10");
    Add("VUMO-0002", "usb-2", silent);
    Add("VUMO-0001", "usb-1");
    MakeWindow(bus, Options());
    const auto ports = [&] {
        std::vector<std::string> out;
        for (StationTile* t : window->tiles()) out.push_back(t->device().port);
        return out;
    };
    const std::vector<std::string> bench{"usb-1", "usb-2", "usb-10"};
    EXPECT_EQ(ports(), bench);
    for (StationTile* t : window->tiles()) EXPECT_EQ(t->state(), StationTile::State::waiting);
    EXPECT_EQ(window->countersText(), QStringLiteral("OK 0    Failed 0    Running 0    Waiting 3"));

    ASSERT_TRUE(window->OnStartClicked());
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 3; }));
    EXPECT_EQ(ports(), bench);
    QSignalSpy done(window.get(), &StationWindow::stationDone);
    window->OnStopClicked();
    ASSERT_TRUE(done.wait(kWaitMs));
    // The end: a summary, where the log is, and its folder opened on request.
    EXPECT_TRUE(window->endShown());
    EXPECT_EQ(window->summaryText(),
              QStringLiteral("2 ok, 1 failed: VUMO-0002 (DFU upload time out : 3)"));
    EXPECT_TRUE(window->endText().endsWith(QStringLiteral("Log: ") + logFile))
        << window->endText().toStdString();
    ASSERT_EQ(LogLines().size(), 3);

    // Start again: the ok devices are not flashed again; the failed one is, in its place.
    ASSERT_TRUE(window->OnStartClicked());
    EXPECT_FALSE(window->endShown());
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 4; }));
    ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 0; }));
    EXPECT_TRUE(LogLines()[3].contains(QStringLiteral("\"serial\": \"VUMO-0002\"")));
    EXPECT_EQ(ports(), bench);
    EXPECT_EQ(window->counters().ok, 2);
    EXPECT_EQ(window->counters().failed, 1);
    EXPECT_EQ(Tiles()["VUMO-0001"]->state(), StationTile::State::ok);

    // "Flash again" on an ok tile, from its context menu: taken at once, counted once.
    StationTile* first = Tiles()["VUMO-0001"];
    QTimer::singleShot(0, window.get(), [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 1);
        EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("&Flash again"));
        menu->actions()[0]->trigger();
        menu->close();
    });
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, first->rect().center(),
                                first->mapToGlobal(first->rect().center()));
    QApplication::sendEvent(first, &menuEvent);
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 5; }));
    ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 0; }));
    EXPECT_TRUE(LogLines()[4].contains(QStringLiteral("\"serial\": \"VUMO-0001\"")));
    EXPECT_TRUE(LogLines()[4].contains(QStringLiteral("\"outcome\": \"ok\"")));
    EXPECT_EQ(window->counters().ok, 2);
    EXPECT_EQ(ports(), bench);

    // A failed tile's button retries it while the station runs.
    QToolButton* retry = Tiles()["VUMO-0002"]->retryButton();
    ASSERT_TRUE(retry->isVisible());
    EXPECT_FALSE(Tiles()["VUMO-0001"]->retryButton()->isVisible());
    retry->click();
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 6; }));
    EXPECT_TRUE(LogLines()[5].contains(QStringLiteral("\"serial\": \"VUMO-0002\"")));
    ASSERT_TRUE(WaitUntil([&] { return window->counters().running == 0; }));
    EXPECT_EQ(window->counters().failed, 1);

    // Stopped, Retry starts the station, which takes what is not ok: that device alone.
    window->OnStopClicked();
    ASSERT_TRUE(WaitUntil([&] { return !window->running(); }));
    Tiles()["VUMO-0002"]->retryButton()->click();
    EXPECT_TRUE(window->running());
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() == 7; }));
    EXPECT_TRUE(LogLines()[6].contains(QStringLiteral("\"serial\": \"VUMO-0002\"")));

    // A new run forgets the outcomes: every device present waits for Start.
    window->OnStopClicked();
    ASSERT_TRUE(WaitUntil([&] { return !window->running(); }));
    EXPECT_EQ(LogLines().size(), 7);
    window->newRunButton()->click();
    EXPECT_EQ(window->countersText(), QStringLiteral("OK 0    Failed 0    Running 0    Waiting 3"));
    EXPECT_EQ(ports(), bench);
    EXPECT_FALSE(window->endShown());
}

TEST_F(StationWindowTest, TheEndOpensTheLogsFolder) {
    StationWindowOptions o = Options();
    std::vector<QUrl> opened;
    o.openUrl = [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    };
    Add("VUMO-0001", "usb-1");
    MakeWindow(bus, o);
    ASSERT_TRUE(window->OnStartClicked());
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 1; }));
    QSignalSpy done(window.get(), &StationWindow::stationDone);
    window->OnStopClicked();
    ASSERT_TRUE(done.wait(kWaitMs));
    EXPECT_EQ(window->summaryText(), QStringLiteral("1 ok, 0 failed"));
    ASSERT_TRUE(window->openLogFolderButton()->isVisible());
    window->openLogFolderButton()->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(temp.filePath(QStringLiteral("logs"))));
}

TEST_F(StationWindowTest, ATilesToolTipIsTheMessageAsPlainText) {
    station::StationDevice device{1, "<b>VUMO</b>", "usb-1", "/dev/x", 1};
    StationTile tile(device);
    station::FinishedDevice finished;
    finished.device = device;
    finished.result.outcome = update::Outcome::failed;
    finished.result.message = "<b>VUMO</b>: Ready Time out";
    finished.result.explanation = {"a & b <i>c</i>", "unplug <VUMO>"};
    tile.SetFinished(finished);
    QTextDocument shown;
    if (Qt::mightBeRichText(tile.toolTip())) shown.setHtml(tile.toolTip());
    else shown.setPlainText(tile.toolTip());
    EXPECT_EQ(shown.toPlainText(),
              QStringLiteral("<b>VUMO</b>: Ready Time out\n") +
                  QString::fromStdString(messages::DetailText(finished.result.explanation)));
    EXPECT_TRUE(shown.toPlainText().contains(QStringLiteral("& b <i>c</i>")));
}

TEST_F(StationWindowTest, TheDefaultLogIsInTheProgramsOwnDataFolder) {
    // With the names the program sets at start-up; none of them is the log's folder.
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    const QString oldOrganisation = QCoreApplication::organizationName();
    qputenv("XDG_DATA_HOME", temp.filePath(QStringLiteral("data")).toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    const QString expected = temp.filePath(QStringLiteral("data/vumo-dfu/station-log.jsonl"));
    EXPECT_EQ(StationWindow::DefaultLogPath(), expected);
    StationWindowOptions o = Options();
    o.logPath.clear();
    window = std::make_unique<StationWindow>(bus, o);
    EXPECT_EQ(window->logPath(), expected);
    window->SetLogPath(logFile);
    EXPECT_EQ(window->logPath(), logFile);
    QCoreApplication::setOrganizationName(oldOrganisation);
    if (oldData.isNull()) qunsetenv("XDG_DATA_HOME");
    else qputenv("XDG_DATA_HOME", oldData);
}

TEST_F(StationWindowTest, TheWindowOpensWithinTheScreen) {
    // The offscreen screen is 800 x 600: smaller than the window's wish, as a laptop's screen
    // is at a scale factor of 2.
    window = std::make_unique<StationWindow>(bus, Options());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QRect available = window->screen()->availableGeometry();
    EXPECT_TRUE(available.contains(window->frameGeometry()))
        << window->frameGeometry().width() << "x" << window->frameGeometry().height() << " in "
        << available.width() << "x" << available.height();
}

}  // namespace
}  // namespace vumo::app
