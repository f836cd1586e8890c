// vumo-dfu update and station keep the machine awake while they flash, against a logind of the
// test's own on a private bus: the lock is there during the flash and gone at the end, and a
// refusal is said once on stderr while the flash goes on.

#include "cli/child_process.h"
#include "cli/exit_codes.h"
#include "session/desktop_stand_in.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;
using session::test::BusEnvironment;
using session::test::DesktopStandIn;
using session::test::PrivateBus;
using test::Child;
using test::Clock;

constexpr const char* kRefusal = "not kept from sleeping";

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool AllReleased(const std::vector<DesktopStandIn::Inhibition>& locks) {
    for (const auto& l : locks)
        if (!l.released) return false;
    return true;
}

class DesktopCliTest : public testing::Test {
protected:
    void SetUp() override {
        VUMO_NEED_DBUS_DAEMON();
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus_->address().empty()) << bus_->error();
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-desktop-cli-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        firmware_ = (dir_ / "fw.bin").string();
        ASSERT_EQ(test::Run({VUMO_TEST_SAMPLE_IMAGE, "--location", "1", "--size", "3000", firmware_},
                            10s).exitCode,
                  0);
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::unique_ptr<PrivateBus> bus_;
    std::filesystem::path dir_;
    std::string firmware_;
};

TEST_F(DesktopCliTest, UpdateHoldsTheLockDuringTheFlashAndLetsGoAtItsEnd) {
    DesktopStandIn desktop(bus_->address());
    ASSERT_TRUE(desktop.ready());
    BusEnvironment env(bus_->address());
    // Block 2 gets no reply: the update waits three seconds for it, flashing all the while.
    Child child({VUMO_TEST_DFU, "update", firmware_, "--simulate=dfu,silent=IMAGE:2",
                 "--timeout", "3", "--pacing", "fast"});
    ASSERT_TRUE(child.WaitForErr("uploading: block 1 of", Clock::now() + 30s)) << child.err();
    const auto held = desktop.held();
    ASSERT_EQ(held.size(), 1U);
    EXPECT_EQ(held[0].why, "Flashing VUMO-0001");
    EXPECT_EQ(held[0].who, "vumo-dfu");
    EXPECT_EQ(held[0].mode, "block");

    EXPECT_EQ(child.Wait(Clock::now() + 60s), kExitDevice) << child.err();
    EXPECT_TRUE(desktop.WaitFor([](const auto& locks, const auto&) { return AllReleased(locks); }));
    EXPECT_EQ(desktop.inhibitions().size(), 1U);
    EXPECT_EQ(child.err().find(kRefusal), std::string::npos) << child.err();
}

TEST_F(DesktopCliTest, StationHoldsOneLockForItsDevicesAndSaysARefusalOnce) {
    {
        DesktopStandIn desktop(bus_->address());
        BusEnvironment env(bus_->address());
        const auto run = test::Run({VUMO_TEST_DFU, "station", firmware_, "--simulate=dfu,devices=3",
                                    "--count", "3", "--json", "--pacing", "fast"},
                                   60s);
        EXPECT_EQ(run.exitCode, kExitOk) << run.err;
        const auto locks = desktop.inhibitions();
        // Taken as the devices were: the lock always says how many are being flashed.
        std::vector<std::string> whys;
        for (const auto& l : locks) whys.push_back(l.why);
        ASSERT_GE(whys.size(), 3U);
        EXPECT_EQ(whys[0], "Flashing VUMO-0001");
        EXPECT_EQ(whys[1], "Flashing 2 devices");
        EXPECT_EQ(whys[2], "Flashing 3 devices");
        EXPECT_TRUE(desktop.WaitFor([](const auto& l, const auto&) { return AllReleased(l); }));
    }
    {
        // Over SSH logind refuses: said once, not asked at every device, and every device is
        // flashed all the same.
        DesktopStandIn desktop(bus_->address(), {true, true, false});
        BusEnvironment env(bus_->address());
        const auto run = test::Run({VUMO_TEST_DFU, "station", firmware_, "--simulate=dfu,devices=3",
                                    "--count", "3", "--json", "--pacing", "fast"},
                                   60s);
        EXPECT_EQ(run.exitCode, kExitOk) << run.err;
        EXPECT_EQ(Count(run.err, kRefusal), 1) << run.err;
        EXPECT_NE(run.err.find("logind: Access denied"), std::string::npos) << run.err;
        EXPECT_EQ(desktop.inhibitCalls(), 1);
    }
}

}  // namespace
}  // namespace vumo::cli
