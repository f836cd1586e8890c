// Both windows against a desktop of the test's own (a private bus with logind and notification
// stand-ins): the machine is kept awake while a device is flashed and let go when none is, and
// an end the user did not watch is told by a desktop notice; without logind or a notification
// server the windows work as ever.

#include "app/application.h"
#include "app/main_dialog.h"
#include "app/station_window.h"
#include "session/desktop_stand_in.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/sim_test_support.h"
#include "sim/simulation.h"
#include "test_support.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace vumo::app {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using session::test::BusEnvironment;
using session::test::DesktopStandIn;
using session::test::PrivateBus;

bool AllReleased(const std::vector<DesktopStandIn::Inhibition>& locks) {
    for (const auto& l : locks)
        if (!l.released) return false;
    return !locks.empty();
}

class DesktopSessionTest : public testing::Test {
protected:
    void SetUp() override {
        VUMO_NEED_DBUS_DAEMON();
        privateBus = std::make_unique<PrivateBus>();
        ASSERT_FALSE(privateBus->address().empty()) << privateBus->error();
        ASSERT_TRUE(temp.isValid());
        tool = temp.filePath(QStringLiteral("checksum"));
        ASSERT_TRUE(WriteAcceptingTool(tool));
        firmware = temp.filePath(QStringLiteral("firmware.bin"));
        ASSERT_TRUE(WriteFirmware(firmware, 700));
    }
    void TearDown() override {
        dialog.reset();
        station.reset();
        emulators.clear();
        simulation.reset();
    }

    void MakeDialog() {
        DialogOptions options;
        options.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
        options.limits = {3s, 5s, 3s};
        options.prepare.toolPath = tool.toStdString();
        options.applicationName = QString::fromUtf8(kProgramName);
        dialog = std::make_unique<CVumo_DFU_UtilityDlg>(bus, std::move(options));
        dialog->messageBoxes().SetAnswerAll(true);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    // Opens the first line, with the firmware in the path, and presses Update until the end.
    bool UpdateOnce() {
        if (!WaitUntil([&] {
                return qobject_cast<QComboBox*>(dialog->control(kIdDeviceList))->count() > 0;
            }))
            return false;
        qobject_cast<QComboBox*>(dialog->control(kIdDeviceList))->setCurrentIndex(0);
        if (dialog->openMode() == 0)
            qobject_cast<QPushButton*>(dialog->control(kIdDeviceOpen))->click();
        qobject_cast<QLineEdit*>(dialog->control(kIdPath))->setText(firmware);
        dialog->UpdateControls();
        QSignalSpy finished(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished);
        qobject_cast<QPushButton*>(dialog->control(kIdUpdate))->click();
        return finished.wait(kWaitMs);
    }

    // Another window in front: the user looks elsewhere.
    void LookElsewhere() {
        other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    }

    std::unique_ptr<PrivateBus> privateBus;
    QTemporaryDir temp;
    QString tool, firmware;
    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    std::unique_ptr<sim::Simulation> simulation;
    QWidget other;
    std::unique_ptr<CVumo_DFU_UtilityDlg> dialog;
    std::unique_ptr<StationWindow> station;
};

TEST_F(DesktopSessionTest, TheWindowHoldsTheMachineAwakeUntilTheUpdateEndsAndTellsAnUnwatchedEnd) {
    DesktopStandIn desktop(privateBus->address());
    ASSERT_TRUE(desktop.ready());
    BusEnvironment env(privateBus->address());
    emulators.push_back(std::make_unique<sim::DeviceEmulator>(
        port, sim::test::FastConfig(sim::Mode::update, "VUMO-0001")));
    MakeDialog();

    // Watched: no notice.
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    ASSERT_TRUE(UpdateOnce());
    EXPECT_TRUE(desktop.WaitFor([](const auto& locks, const auto&) { return AllReleased(locks); }));

    LookElsewhere();
    std::vector<DesktopStandIn::Inhibition> heldAtTheBox;
    QObject::connect(&dialog->messageBoxes(), &MessageBoxes::boxShown,
                     [&](const BoxRecord&) { heldAtTheBox = desktop.held(); });
    ASSERT_TRUE(UpdateOnce());
    ASSERT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);
    // The completion box comes before the restart command: the flash still runs there.
    ASSERT_EQ(heldAtTheBox.size(), 1U);
    EXPECT_EQ(heldAtTheBox[0].why, "Flashing VUMO-0001");
    EXPECT_EQ(heldAtTheBox[0].mode, "block");
    // Let go at the end, with the window still open.
    EXPECT_TRUE(desktop.WaitFor([](const auto& locks, const auto&) { return AllReleased(locks); }));
    EXPECT_EQ(desktop.inhibitions().size(), 2U);

    ASSERT_TRUE(desktop.WaitFor([](const auto&, const auto& n) { return !n.empty(); }));
    const auto notices = desktop.notifications();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].summary, "Firmware update done");
    EXPECT_EQ(notices[0].body.rfind("VUMO-0001: Firmware uploaded. Now Rebooting. (", 0), 0U)
        << notices[0].body;
    EXPECT_TRUE(dialog->sessionNote().isEmpty());
}

TEST_F(DesktopSessionTest, WithoutLogindOrANotificationServerTheWindowWorksAndSaysItOnce) {
    // A session bus with neither logind nor a notification server; then no bus at all.
    for (const bool anyBus : {true, false}) {
        SCOPED_TRACE(anyBus ? "bus without the services" : "no bus");
        DesktopStandIn desktop(privateBus->address(), {false, false, false});
        BusEnvironment env(privateBus->address(), anyBus, anyBus);
        emulators.clear();
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(
            port, sim::test::FastConfig(sim::Mode::update, "VUMO-0001")));
        MakeDialog();
        LookElsewhere();
        ASSERT_TRUE(UpdateOnce());
        ASSERT_TRUE(UpdateOnce());
        EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);
        // The completion boxes and nothing else; the user was asked to look as before.
        for (const auto& box : dialog->messageBoxes().history())
            EXPECT_EQ(box.text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
        EXPECT_EQ(dialog->attentionRequests(), 2);
        EXPECT_TRUE(dialog->sessionNote().contains(QStringLiteral("not kept from sleeping")))
            << dialog->sessionNote().toStdString();
        dialog.reset();
    }
}

TEST_F(DesktopSessionTest, TheStationHoldsTheMachineWhileDevicesRunAndTellsTheEndOfTheirStretch) {
    DesktopStandIn desktop(privateBus->address());
    BusEnvironment env(privateBus->address());
    sim::SimulateOptions options;
    std::string error;
    ASSERT_TRUE(
        sim::ParseSimulateOptions("dfu,devices=3,2@silent=IMAGE:3,return-delay=5", options, error))
        << error;
    simulation = std::make_unique<sim::Simulation>(options);
    StationWindowOptions o;
    o.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
    o.limits = {300ms, 1s, 1s};
    o.prepare.toolPath = tool.toStdString();
    o.applicationName = QString::fromUtf8(kProgramName);
    o.logPath = temp.filePath(QStringLiteral("flash.jsonl"));
    station = std::make_unique<StationWindow>(simulation->bus(), std::move(o));
    station->messageBoxes().SetAnswerAll(true);
    station->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(station.get()));
    ASSERT_TRUE(station->ChooseFirmware(firmware));
    LookElsewhere();

    ASSERT_TRUE(station->OnStartClicked());
    ASSERT_TRUE(
        WaitUntil([&] { return station->counters().ok + station->counters().failed == 3; }));
    // The station still runs, waiting for devices; no device is flashed, so nothing is held.
    EXPECT_TRUE(station->running());
    EXPECT_TRUE(desktop.WaitFor([](const auto& locks, const auto&) { return AllReleased(locks); }));
    bool three = false;
    for (const auto& l : desktop.inhibitions()) three = three || l.why == "Flashing 3 devices";
    EXPECT_TRUE(three);

    ASSERT_TRUE(desktop.WaitFor([](const auto&, const auto& n) { return !n.empty(); }));
    const auto notices = desktop.notifications();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].summary, "Station: 1 device failed");
    EXPECT_EQ(notices[0].body.rfind("3 devices in ", 0), 0U) << notices[0].body;
    EXPECT_NE(notices[0].body.find(": 2 ok, 1 failed"), std::string::npos) << notices[0].body;
}

}  // namespace
}  // namespace vumo::app
