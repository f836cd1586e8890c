// The machine kept awake while devices are flashed, and the notices of a run's end, against a
// logind and a notification server of the test's own on a private bus.

#include "base/unique_fd.h"
#include "session/desktop_bus.h"
#include "session/desktop_stand_in.h"
#include "session/flash_inhibitor.h"
#include "session/notices.h"
#include "session/station_sleep.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace vumo::session {
namespace {

using namespace std::chrono_literals;
using test::BusEnvironment;
using test::DesktopStandIn;
using test::PrivateBus;

// The lock each take gave, and whether its holder has closed it since.
class FakeLogind {
    struct PipeLock final : session::InhibitLock {
        explicit PipeLock(base::UniqueFd end) : writeEnd(std::move(end)) {}
        base::UniqueFd writeEnd;
    };

public:
    ~FakeLogind() {
        for (const auto& t : taken_) ::close(t.readEnd);
    }
    FlashInhibitor::Take take() {
        return [this](const std::string& why,
                      std::string& error) -> std::unique_ptr<session::InhibitLock> {
            if (refuse) {
                error = "logind: Access denied";
                ++refused;
                return {};
            }
            int ends[2];
            EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
            taken_.push_back({why, ends[0]});
            return std::make_unique<PipeLock>(base::UniqueFd(ends[1]));
        };
    }
    // The reasons of the locks still held, oldest first.
    std::vector<std::string> held() const {
        std::vector<std::string> out;
        for (const auto& t : taken_) {
            pollfd p{t.readEnd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) out.push_back(t.why);
        }
        return out;
    }
    int takes() const { return static_cast<int>(taken_.size()); }

    bool refuse = false;
    int refused = 0;

private:
    struct Taken {
        std::string why;
        int readEnd;
    };
    std::vector<Taken> taken_;
};

TEST(FlashInhibitorTest, OneLockWhileAnyFlashRunsSayingWhatRunsGoneWithTheLast) {
    FakeLogind logind;
    std::vector<std::string> said;
    FlashInhibitor inhibitor([&](const std::string& s) { said.push_back(s); }, logind.take());

    inhibitor.Begin(1, "VUMO-0001");
    EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing VUMO-0001"});
    inhibitor.Begin(1, "VUMO-0001");  // the same flash again: nothing new
    EXPECT_EQ(logind.takes(), 1);
    inhibitor.Begin(2, "VUMO-0002");
    inhibitor.Begin(3, "");
    // The count changes the lock's reason; the old lock goes only once the new one is held.
    EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing 3 devices"});
    EXPECT_EQ(inhibitor.why(), "Flashing 3 devices");
    inhibitor.End(1);
    inhibitor.End(2);
    EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing 1 device"});
    inhibitor.End(7);  // never began
    EXPECT_TRUE(inhibitor.held());
    inhibitor.End(3);
    EXPECT_TRUE(logind.held().empty());
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(said.empty());

    {
        SleepGuard guard(inhibitor, "VUMO-0009");
        EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing VUMO-0009"});
    }
    EXPECT_TRUE(logind.held().empty());
}

// Between the station and its front end: the lock is held from a device's arrival to its end,
// and every report reaches the front end, the station's own notices too.
TEST(FlashInhibitorTest, TheStationsReportsPassThroughWhileItHoldsTheLock) {
    struct Heard final : station::StationObserver {
        void DeviceArrived(const station::StationDevice&) override { said.push_back("arrived"); }
        void DeviceFinished(const station::FinishedDevice&) override { said.push_back("finished"); }
        void StationNotice(const std::string& text) override { said.push_back(text); }
        std::vector<std::string> said;
    } frontEnd;
    FakeLogind logind;
    FlashInhibitor inhibitor({}, logind.take());
    StationSleep sleeping(frontEnd, inhibitor);
    station::StationDevice device;
    device.id = 1;
    device.serial = "VUMO-0001";
    sleeping.DeviceArrived(device);
    EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing VUMO-0001"});
    sleeping.StationNotice("The device monitor failed; it was restarted.");
    station::FinishedDevice finished;
    finished.device = device;
    sleeping.DeviceFinished(finished);
    EXPECT_TRUE(logind.held().empty());
    EXPECT_EQ(frontEnd.said, (std::vector<std::string>{
                                 "arrived", "The device monitor failed; it was restarted.",
                                 "finished"}));
}

TEST(FlashInhibitorTest, ARefusalIsSaidOnceAndNotAskedAgainUntilIdle) {
    FakeLogind logind;
    logind.refuse = true;
    std::vector<std::string> said;
    FlashInhibitor inhibitor([&](const std::string& s) { said.push_back(s); }, logind.take());

    inhibitor.Begin(1, "VUMO-0001");
    inhibitor.Begin(2, "VUMO-0002");
    inhibitor.End(1);
    ASSERT_EQ(said.size(), 1U);
    EXPECT_NE(said[0].find("not kept from sleeping"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("logind: Access denied"), std::string::npos) << said[0];
    // A refused logind is not asked at every device of a busy station.
    EXPECT_EQ(logind.refused, 1);
    inhibitor.End(2);

    // The next flash asks again, and is held when logind agrees; nothing more is said.
    logind.refuse = false;
    inhibitor.Begin(3, "VUMO-0003");
    EXPECT_EQ(logind.held(), std::vector<std::string>{"Flashing VUMO-0003"});
    logind.refuse = true;
    inhibitor.End(3);
    inhibitor.Begin(4, "VUMO-0004");
    EXPECT_EQ(said.size(), 1U);
}

TEST(NoticesTest, SayTheResultAndTheTimeItTook) {
    EXPECT_EQ(DurationText(31.4), "31 s");
    EXPECT_EQ(DurationText(125), "2 min 5 s");
    EXPECT_EQ(DurationText(3840), "1 h 4 min");

    const Notice done =
        UpdateNotice(update::Outcome::ok, "VUMO-0001", "Firmware uploaded.\r\nNow Rebooting.", 31);
    EXPECT_EQ(done.summary, "Firmware update done");
    EXPECT_EQ(done.body, "VUMO-0001: Firmware uploaded. Now Rebooting. (31 s)");
    EXPECT_EQ(UpdateNotice(update::Outcome::failed, "", "Ready Time out", 12).body,
              "the device: Ready Time out (12 s)");
    EXPECT_EQ(UpdateNotice(update::Outcome::interrupted, "A", "", 1).summary,
              "Firmware update interrupted");

    const Notice station = StationNotice({9, 1, 130});
    EXPECT_EQ(station.summary, "Station: 1 device failed");
    EXPECT_EQ(station.body, "10 devices in 2 min 10 s: 9 ok, 1 failed");
    EXPECT_EQ(StationNotice({1, 0, 5}).summary, "Station: every device flashed");

    StretchClock clock;
    clock.Started();
    clock.Started();
    EXPECT_FALSE(clock.Ended(true));
    EXPECT_TRUE(clock.Ended(false));
    EXPECT_EQ(clock.stretch().ok, 1);
    EXPECT_EQ(clock.stretch().failed, 1);
    clock.Started();  // a new stretch counts afresh
    EXPECT_TRUE(clock.Ended(true));
    EXPECT_EQ(clock.stretch().ok + clock.stretch().failed, 1);
}

// Runs systemd-inhibit --list against the bus in the environment; empty when it isn't here.
std::string InhibitList() {
    std::string program;
    for (const char* p : {"/usr/bin/systemd-inhibit", "/bin/systemd-inhibit"})
        if (::access(p, X_OK) == 0) program = p;
    if (program.empty()) return {};
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args{program, "--list", "--no-pager", "--no-legend"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    pollfd p{out[0], POLLIN, 0};
    while (::poll(&p, 1, 20'000) > 0) {
        char buf[1024];
        const auto n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text.empty() ? std::string("(nothing)") : text;
}

class DesktopBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        VUMO_NEED_DBUS_DAEMON();
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus_->address().empty()) << bus_->error();
    }
    std::unique_ptr<PrivateBus> bus_;
};

TEST_F(DesktopBusTest, LogindHoldsTheLockAsAskedUntilItIsClosed) {
    DesktopStandIn desktop(bus_->address());
    ASSERT_TRUE(desktop.ready());
    BusEnvironment env(bus_->address());
    std::vector<std::string> said;
    FlashInhibitor inhibitor([&](const std::string& s) { said.push_back(s); });

    inhibitor.Begin(1, "VUMO-0001");
    ASSERT_TRUE(inhibitor.held()) << (said.empty() ? "" : said[0]);
    const auto held = desktop.held();
    ASSERT_EQ(held.size(), 1U);
    EXPECT_EQ(held[0].what,
              "sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key");
    EXPECT_EQ(held[0].who, "vumo-dfu");
    EXPECT_EQ(held[0].why, "Flashing VUMO-0001");
    EXPECT_EQ(held[0].mode, "block");
    // What an administrator sees, where systemd-inhibit is installed.
    const std::string during = InhibitList();
    if (!during.empty()) {
        EXPECT_NE(during.find("Flashing VUMO-0001"), std::string::npos) << during;
    }

    inhibitor.Begin(2, "VUMO-0002");
    inhibitor.End(1);
    inhibitor.End(2);
    EXPECT_TRUE(desktop.WaitFor([](const auto& locks, const auto&) {
        for (const auto& l : locks)
            if (!l.released) return false;
        return locks.size() == 3;
    })) << "a lock is still held after the last flash";
    EXPECT_EQ(desktop.inhibitions()[1].why, "Flashing 2 devices");
    EXPECT_EQ(desktop.inhibitions()[2].why, "Flashing VUMO-0002");
    const std::string after = InhibitList();
    EXPECT_EQ(after.find("vumo-dfu"), std::string::npos) << after;
    EXPECT_TRUE(said.empty());
}

TEST_F(DesktopBusTest, WithoutLogindOrWithARefusalTheFlashGoesOnAndItIsSaidOnce) {
    struct Case {
        const char* name;
        test::StandInOptions options;
        bool systemBus;
        const char* says;
    };
    const Case cases[] = {
        {"refused", {true, true, false}, true, "logind: Access denied"},
        {"no logind", {false, false, false}, true, "logind: "},
        {"no system bus", {false, false, false}, false, "no system bus"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopStandIn desktop(bus_->address(), c.options);
        ASSERT_TRUE(desktop.ready());
        BusEnvironment env(bus_->address(), c.systemBus);
        std::vector<std::string> said;
        FlashInhibitor inhibitor([&](const std::string& s) { said.push_back(s); });
        inhibitor.Begin(1, "VUMO-0001");
        inhibitor.Begin(2, "VUMO-0002");
        EXPECT_FALSE(inhibitor.held());
        ASSERT_EQ(said.size(), 1U);
        EXPECT_NE(said[0].find(c.says), std::string::npos) << said[0];
        inhibitor.End(1);
        inhibitor.End(2);
    }
}

TEST_F(DesktopBusTest, ANoticeReachesTheServerAndNoServerIsNoError) {
    {
        DesktopStandIn desktop(bus_->address());
        ASSERT_TRUE(desktop.ready());
        BusEnvironment env(bus_->address());
        DesktopNotifier notifier;
        std::string why;
        EXPECT_TRUE(notifier.Notify("Firmware update done", "VUMO-0001: ok (31 s)", &why)) << why;
        ASSERT_TRUE(desktop.WaitFor(
            [](const auto&, const auto& notices) { return !notices.empty(); }));
        const auto n = desktop.notifications()[0];
        EXPECT_EQ(n.app, "vumo-dfu");
        EXPECT_EQ(n.summary, "Firmware update done");
        EXPECT_EQ(n.body, "VUMO-0001: ok (31 s)");
    }
    {
        // A session bus without a notification server: sent, and nobody minds.
        DesktopStandIn desktop(bus_->address(), {true, false, false});
        BusEnvironment env(bus_->address());
        DesktopNotifier notifier;
        EXPECT_TRUE(notifier.Notify("Firmware update done", "body"));
        EXPECT_TRUE(notifier.Notify("Firmware update done", "again"));
    }
    {
        // No session bus at all: false, with the reason for a debug line.
        BusEnvironment env(bus_->address(), true, false);
        DesktopNotifier notifier;
        std::string why;
        EXPECT_FALSE(notifier.Notify("Firmware update done", "body", &why));
        EXPECT_NE(why.find("no session bus"), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace vumo::session
