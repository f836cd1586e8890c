// The emulated device driven end to end through the host's own device objects on the simulated
// bus: the conversation, the mode switch both ways, every fault, several devices.

#include "protocol/replies.h"
#include "protocol/reports.h"
#include "sim/sim_hid_bus.h"
#include "sim/simulation.h"
#include "sim_test_support.h"
#include "vumo/build_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace vumo::sim {
namespace {

using namespace test;
using platform::HotplugMonitor;

// Bits of UpdateHost::Flags().
constexpr unsigned kReady = 1u << 0, kStart = 1u << 1, kSize = 1u << 2, kImage = 1u << 3,
                   kLocat = 1u << 4, kEnd = 1u << 5;

TEST(ReplyLayout, EachReplyPassesExactlyItsOwnTest) {
    const struct {
        Reply reply;
        std::uint8_t test;
    } cases[] = {
        {Reply::ready, protocol::kReplyReady}, {Reply::location, protocol::kReplyLocat},
        {Reply::size, protocol::kReplySize},   {Reply::start, protocol::kReplyStart},
        {Reply::end, protocol::kReplyEnd},     {Reply::image, protocol::kReplyImage},
    };
    for (const auto& c : cases) {
        const auto r = BuildReply(c.reply);
        ASSERT_EQ(r.size(), protocol::kInputReportLength);
        EXPECT_EQ(r[0], 0) << "report ID";
        EXPECT_EQ(protocol::MatchReply(r), c.test) << static_cast<int>(c.reply);
    }
}

// The conversation with the flags checked after every reply: each reply sets its own flag and
// nothing else, END clears START. Run plain, with noise before every reply, and with delayed
// replies, which must change nothing the host can see but the timing.
class Conversation : public testing::TestWithParam<const char*> {};

TEST_P(Conversation, EveryReplySetsItsFlagAndTheImageArrivesIntact) {
    Simulation sim(Options(GetParam()));
    DeviceEmulator& device = sim.device(0);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(300);
    host.location = 1;

    EXPECT_EQ(host.dfu.SendReadyQuery(), hid::kWriteOk);
    ASSERT_TRUE(host.Wait(Flag::ready));
    EXPECT_EQ(host.Flags(), kReady);

    host.SendLocation();
    ASSERT_TRUE(host.Wait(Flag::location));
    EXPECT_EQ(host.Flags(), kReady | kLocat);
    EXPECT_EQ(device.locationCode(), 1);

    host.SendSize();
    ASSERT_TRUE(host.Wait(Flag::size));
    EXPECT_EQ(host.Flags(), kReady | kLocat | kSize);
    EXPECT_EQ(device.sizeByte(), 44) << "300 blocks, low byte";

    ASSERT_TRUE(host.Start());
    EXPECT_EQ(host.Flags(), kReady | kLocat | kSize | kStart);

    ASSERT_TRUE(host.SendAllBlocks());
    EXPECT_EQ(host.Flags(), kReady | kLocat | kSize | kStart | kImage);

    host.dfu.SendEnd();
    ASSERT_TRUE(host.Wait(Flag::end));
    EXPECT_EQ(host.Flags(), kReady | kLocat | kSize | kImage | kEnd);

    EXPECT_EQ(device.blocksReceived(), 300u);
    EXPECT_EQ(device.firmware(), host.ImageBytes());
    const auto s = device.status();
    EXPECT_FALSE(s.sessionOpen);
    EXPECT_EQ(s.blocksRejected, 0u);
    EXPECT_EQ(s.repliesSent[static_cast<int>(Reply::image)], 300u);
    for (Reply r : {Reply::ready, Reply::location, Reply::size, Reply::start, Reply::end})
        EXPECT_EQ(device.repliesSent(r), 1u);
}

INSTANTIATE_TEST_SUITE_P(Variants, Conversation,
                         testing::Values("dfu", "dfu,noise", "dfu,reply-delay=1"));

TEST(Conversation, BlockWithBadCrcGetsNoImageAndIsNotKept) {
    Simulation sim(Options("dfu"));
    DeviceEmulator& device = sim.device(0);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(4);
    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(host.SendBlocks(0, 2));

    const std::uint32_t good = host.image.blockCrc[2];
    host.image.blockCrc[2] = good ^ 0x00000100;
    host.dfu.flags().Set(Flag::image, 0);
    host.SendBlock(2);
    ASSERT_TRUE(host.Barrier());
    EXPECT_EQ(host.dfu.flags().Get(Flag::image), 0u);
    EXPECT_EQ(device.blocksReceived(), 2u);
    EXPECT_EQ(device.status().blocksRejected, 1u);

    // The same block with its right CRC is taken, in its place.
    host.image.blockCrc[2] = good;
    host.SendBlock(2);
    ASSERT_TRUE(host.Wait(Flag::image));
    host.dfu.flags().Set(Flag::image, 0);
    host.SendBlock(3);
    ASSERT_TRUE(host.Wait(Flag::image));
    EXPECT_EQ(device.firmware(), host.ImageBytes());
}

TEST(Conversation, OnlyCleanCommandsOfTheRightLengthAreObeyed) {
    Simulation sim(Options("dfu"));
    DeviceEmulator& device = sim.device(0);
    auto writer = sim.bus().openWriter(device.path());
    ASSERT_EQ(writer.status, platform::OpenStatus::ok);
    // Writes reach the device on this thread, so its decision is made when write() returns.
    const auto write = [&](auto report) { writer.handle->write(report); };

    auto dirty = protocol::BuildReadyQuery();
    dirty[100] = 1;
    write(dirty);
    EXPECT_EQ(device.repliesSent(Reply::ready), 0u) << "a command's unused bytes must be 0";

    const auto query = protocol::BuildReadyQuery();
    write(std::span(query).first(protocol::kAppReportLength));
    EXPECT_EQ(device.repliesSent(Reply::ready), 0u) << "a 21-byte report in update mode";

    write(protocol::BuildDfuModeSwitch(protocol::kModeUpdate));
    EXPECT_EQ(device.mode(), Mode::update) << "already there";

    auto block = protocol::BuildReadyQuery();
    block[129] = 0x12;
    write(block);
    EXPECT_EQ(device.status().blocksRejected + device.blocksReceived(), 0u)
        << "blocks count only between DFUSTART and DFUEND";

    write(protocol::BuildLocation(187));
    EXPECT_EQ(device.locationCode(), 187);
    write(protocol::BuildSize(256));
    EXPECT_EQ(device.sizeByte(), 0);
    write(query);
    EXPECT_EQ(device.repliesSent(Reply::ready), 1u);
}

// Application mode -> update mode -> upload -> restart -> application mode, through AppDevice and
// DfuDevice, with the hot-plug monitor watching every departure and arrival.
TEST(ModeSwitch, BothWaysKeepTheSerialAndTheReceivedImage) {
    Simulation sim(Options("return-delay=5"));
    DeviceEmulator& device = sim.device(0);
    auto monitor = sim.bus().monitor();
    ASSERT_NE(monitor, nullptr);
    hid::AppDevice app(sim.bus());
    UpdateHost host(sim.bus());

    ASSERT_EQ(app.EnumerateDevices(), 1);
    EXPECT_EQ(host.dfu.EnumerateDevices(), 0);
    EXPECT_EQ(app.entry(0).serial, "VUMO-0001");
    EXPECT_EQ(app.caps().output, protocol::kAppReportLength);
    EXPECT_EQ(app.caps().input, protocol::kInputReportLength);
    const std::string appPath = device.path();
    ASSERT_EQ(app.Open(0), hid::kOpenOk);

    EXPECT_EQ(app.SendModeSwitch(protocol::kModeUpdate), hid::kWriteOk);
    ASSERT_TRUE(device.waitForMode(Mode::update, In(kWait)));
    EXPECT_EQ(device.modeSwitches(), 1u);
    auto events = CollectEvents(*monitor, 2, In(kWait));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].action, HotplugMonitor::Action::removal);
    EXPECT_EQ(events[0].path, appPath);
    EXPECT_EQ(events[1].action, HotplugMonitor::Action::arrival);
    EXPECT_EQ(events[1].path, device.path());
    app.Close();

    EXPECT_EQ(app.EnumerateDevices(), 0);
    ASSERT_EQ(host.dfu.EnumerateDevices(), 1);
    EXPECT_EQ(host.dfu.entry(0).serial, "VUMO-0001");
    EXPECT_EQ(host.dfu.caps().output, protocol::kDfuReportLength);
    EXPECT_EQ(host.dfu.caps().input, protocol::kInputReportLength);
    ASSERT_EQ(host.dfu.Open(0), hid::kOpenOk);
    ASSERT_TRUE(host.Upload(1, 17));
    const std::string updatePath = device.path();

    EXPECT_EQ(host.dfu.SendModeSwitch(protocol::kModeApplication), hid::kWriteOk);
    EXPECT_EQ(host.Flags(), 0u) << "the mode switch clears every flag";
    ASSERT_TRUE(device.waitForMode(Mode::application, In(kWait)));
    EXPECT_EQ(device.restarts(), 1u);
    events = CollectEvents(*monitor, 2, In(kWait));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].action, HotplugMonitor::Action::removal);
    EXPECT_EQ(events[0].path, updatePath);
    EXPECT_EQ(events[1].action, HotplugMonitor::Action::arrival);
    EXPECT_EQ(events[1].path, device.path());
    host.dfu.Close();

    ASSERT_EQ(app.EnumerateDevices(), 1);
    EXPECT_EQ(app.entry(0).serial, "VUMO-0001");
    EXPECT_EQ(host.dfu.EnumerateDevices(), 0);
    EXPECT_EQ(device.firmware(), host.ImageBytes()) << "kept across the restart";
    EXPECT_EQ(device.status().arrivals, 3u);
    EXPECT_EQ(device.status().departures, 2u);
}

// The port a device is plugged into is where the host finds it again after it re-enumerates:
// the path changes at every switch and restart, the port never does.
TEST(ModeSwitch, PortIsKeptAcrossTheSwitchAndTheRestart) {
    Simulation sim(Options("devices=2,return-delay=1"));
    DeviceEmulator& device = sim.device(1);
    const auto portOf = [&](const std::string& path) {
        for (const auto& info : sim.bus().enumerate())
            if (info.path == path) return info.port;
        return std::string("(not on the bus)");
    };
    EXPECT_EQ(portOf(sim.device(0).path()), "sim-1");
    const std::string appPath = device.path();
    EXPECT_EQ(portOf(appPath), "sim-2");
    EXPECT_EQ(device.status().port, "sim-2");

    hid::AppDevice app(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 2);
    const int second = app.entry(0).path == appPath ? 0 : 1;
    ASSERT_EQ(app.entry(second).path, appPath);
    ASSERT_EQ(app.Open(second), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    ASSERT_TRUE(device.waitForMode(Mode::update, In(kWait)));
    app.Close();
    const std::string updatePath = device.path();
    // As the kernel numbers nodes: the lowest free one, which is the one it left.
    EXPECT_EQ(updatePath, appPath);
    EXPECT_EQ(portOf(updatePath), "sim-2");

    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.dfu.SendModeSwitch(protocol::kModeApplication);
    ASSERT_TRUE(device.waitForArrivals(3, In(kWait)));
    EXPECT_EQ(device.mode(), Mode::application);
    EXPECT_EQ(device.path(), updatePath);
    EXPECT_EQ(portOf(device.path()), "sim-2");
    EXPECT_EQ(device.status().port, "sim-2");
    EXPECT_EQ(portOf(sim.device(0).path()), "sim-1");
}

TEST(ModeSwitch, WrongArgumentForTheModeIsIgnored) {
    Simulation sim(Options("return-delay=5"));
    DeviceEmulator& device = sim.device(0);
    hid::AppDevice app(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    // Handled on the writing thread: had it been obeyed, the device would be gone already.
    app.SendModeSwitch(protocol::kModeApplication);
    EXPECT_EQ(device.mode(), Mode::application);
    EXPECT_EQ(device.modeSwitches(), 0u);
}

// --- faults ----------------------------------------------------------------------------------

struct SilentCase {
    const char* option;
    Reply reply;
};

class SilentReply : public testing::TestWithParam<SilentCase> {};

// The silenced reply never comes, the command still takes effect, and every other reply does.
TEST_P(SilentReply, OnlyThatReplyIsMissing) {
    const auto [option, silenced] = GetParam();
    Simulation sim(Options(std::string("dfu,silent=") + option));
    DeviceEmulator& device = sim.device(0);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(2);
    host.location = 3;
    const Flag barrier = silenced == Reply::ready ? Flag::location : Flag::ready;

    const struct {
        Reply reply;
        std::function<void()> send;
        Flag flag;
    } steps[] = {
        {Reply::ready, [&] { host.dfu.SendReadyQuery(); }, Flag::ready},
        {Reply::location, [&] { host.SendLocation(); }, Flag::location},
        {Reply::size, [&] { host.SendSize(); }, Flag::size},
        {Reply::start, [&] { host.dfu.SendStart(); }, Flag::start},
        {Reply::image,
         [&] {
             host.dfu.flags().Set(Flag::image, 0);
             host.SendBlock(0);
         },
         Flag::image},
        {Reply::end, [&] { host.dfu.SendEnd(); }, Flag::end},
    };
    for (const auto& step : steps) {
        step.send();
        if (step.reply == silenced) {
            ASSERT_TRUE(host.Barrier(barrier));
            EXPECT_EQ(host.dfu.flags().Get(step.flag), 0u) << option;
        } else {
            EXPECT_TRUE(host.Wait(step.flag)) << option << " silenced reply " << int(step.reply);
        }
    }
    EXPECT_EQ(device.repliesSent(silenced), 0u);
    EXPECT_EQ(device.locationCode(), 3);
    EXPECT_EQ(device.sizeByte(), 2);
    EXPECT_EQ(device.blocksReceived(), 1u) << "the session opened even without its reply";
    if (silenced == Reply::end) {
        EXPECT_EQ(host.dfu.flags().Get(Flag::start), 1u) << "no END, so START stays";
        EXPECT_FALSE(device.status().sessionOpen) << "but the device did end the session";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SilentReply,
    testing::Values(SilentCase{"READY", Reply::ready}, SilentCase{"LOCAT", Reply::location},
                    SilentCase{"SIZE", Reply::size}, SilentCase{"START", Reply::start},
                    SilentCase{"END", Reply::end}, SilentCase{"IMAGE:0", Reply::image}),
    [](const auto& p) {
        std::string name = p.param.option;
        std::replace(name.begin(), name.end(), ':', '_');
        return name;
    });

TEST(Faults, SilentImageForOneBlockKeepsTheBlock) {
    Simulation sim(Options("dfu,silent=IMAGE:1"));
    DeviceEmulator& device = sim.device(0);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(3);
    ASSERT_TRUE(host.Start());
    for (std::uint32_t i = 0; i < 3; ++i) {
        host.dfu.flags().Set(Flag::image, 0);
        host.SendBlock(i);
        if (i == 1) {
            ASSERT_TRUE(host.Barrier());
            EXPECT_EQ(host.dfu.flags().Get(Flag::image), 0u);
        } else {
            ASSERT_TRUE(host.Wait(Flag::image)) << "block " << i;
        }
    }
    EXPECT_EQ(device.repliesSent(Reply::image), 2u);
    EXPECT_EQ(device.firmware(), host.ImageBytes());
}

TEST(Faults, ReplyDelayHoldsEveryReplyAndKeepsTheirOrder) {
    Simulation sim(Options("dfu,reply-delay=40"));
    DeviceEmulator& device = sim.device(0);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(1);

    const auto sent = std::chrono::steady_clock::now();
    host.dfu.SendReadyQuery();
    ASSERT_TRUE(host.Wait(Flag::ready));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 40ms);

    // Three commands at once: the replies come in the order of the commands, START before END.
    host.dfu.SendStart();
    host.dfu.SendEnd();
    host.SendSize();
    ASSERT_TRUE(device.waitForReplies(Reply::size, 1, In(kWait)));
    ASSERT_TRUE(host.Barrier(Flag::location));
    EXPECT_EQ(host.dfu.flags().Get(Flag::start), 0u) << "END came after START";
    EXPECT_EQ(host.dfu.flags().Get(Flag::end), 1u);
}

TEST(Faults, UnplugAtBlockLeavesForGood) {
    Simulation sim(Options("dfu,unplug-at=2,return-delay=1"));
    DeviceEmulator& device = sim.device(0);
    auto monitor = sim.bus().monitor();
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());
    const std::string path = device.path();
    host.LoadImage(5);
    ASSERT_TRUE(host.Start());
    ASSERT_TRUE(host.SendBlocks(0, 2));
    host.dfu.flags().Set(Flag::image, 0);
    host.SendBlock(2);
    EXPECT_EQ(device.mode(), Mode::absent) << "gone as the block arrived";
    const auto events = CollectEvents(*monitor, 1, In(kWait));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].action, HotplugMonitor::Action::removal);
    EXPECT_EQ(events[0].path, path);

    EXPECT_NE(host.SendBlock(3), hid::kWriteOk) << "nobody is there to write to";
    EXPECT_EQ(host.dfu.flags().Get(Flag::image), 0u);
    EXPECT_EQ(device.blocksReceived(), 2u);
    // It must not come back; give a 1 ms return delay fifty times over.
    EXPECT_FALSE(device.waitForArrivals(2, In(50ms)));
    EXPECT_EQ(host.dfu.EnumerateDevices(), 0);
}

TEST(Faults, NoReturnAfterModeSwitch) {
    Simulation sim(Options("no-return,return-delay=1"));
    DeviceEmulator& device = sim.device(0);
    hid::AppDevice app(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    EXPECT_EQ(device.mode(), Mode::absent);
    EXPECT_EQ(device.modeSwitches(), 1u);
    EXPECT_FALSE(device.waitForArrivals(2, In(50ms)));
    EXPECT_TRUE(sim.bus().enumerate().empty());
}

TEST(Faults, NewSerialAfterModeSwitchAndRestart) {
    Simulation sim(Options("new-serial,return-delay=1"));
    DeviceEmulator& device = sim.device(0);
    hid::AppDevice app(sim.bus());
    UpdateHost host(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    ASSERT_TRUE(device.waitForMode(Mode::update, In(kWait)));
    app.Close();

    const std::string second = device.serial();
    EXPECT_NE(second, "VUMO-0001");
    ASSERT_EQ(host.dfu.EnumerateDevices(), 1);
    EXPECT_EQ(host.dfu.entry(0).serial, second);

    ASSERT_EQ(host.dfu.Open(0), hid::kOpenOk);
    host.dfu.SendModeSwitch(protocol::kModeApplication);
    ASSERT_TRUE(device.waitForMode(Mode::application, In(kWait)));
    EXPECT_NE(device.serial(), second);
    EXPECT_NE(device.serial(), "VUMO-0001");
    ASSERT_EQ(app.EnumerateDevices(), 1);
    EXPECT_EQ(app.entry(0).serial, device.serial());
}

TEST(Faults, NoiseComesBeforeTheReplyAndPassesNoTest) {
    Simulation sim(Options("dfu,noise"));
    DeviceEmulator& device = sim.device(0);
    // A second reader sees every input report the host's listener sees.
    auto spy = sim.bus().openReader(device.path());
    ASSERT_EQ(spy.status, platform::OpenStatus::ok);
    UpdateHost host(sim.bus());
    ASSERT_TRUE(host.OpenFirst());

    for (Reply reply : {Reply::ready, Reply::end}) {
        if (reply == Reply::ready) host.dfu.SendReadyQuery();
        else host.dfu.SendEnd();
        std::vector<std::vector<std::uint8_t>> seen;
        for (;;) {
            std::vector<std::uint8_t> buffer(protocol::kInputReportLength, 0);
            const auto r = spy.handle->read(buffer, kWait);
            ASSERT_EQ(r.status, platform::ReadStatus::report);
            buffer.resize(r.length);
            const bool real = protocol::MatchReply(buffer) != 0;
            seen.push_back(std::move(buffer));
            if (real) break;
        }
        EXPECT_EQ(seen.back(), BuildReply(reply));
        EXPECT_GE(seen.size(), 4u) << "several malformed reports first";
        const bool shortOne = std::any_of(seen.begin(), seen.end() - 1, [](const auto& r) {
            return r.size() < protocol::kInputReportLength;
        });
        EXPECT_TRUE(shortOne);
    }
    EXPECT_TRUE(host.Wait(Flag::end));
    EXPECT_EQ(host.Flags(), kReady | kEnd) << "the noise set no flag";
}

// A loader whose new firmware does not start: each restart brings it back in update mode, under
// the same serial and port, with the image it received; the mode switch itself still works.
TEST(Faults, NoBootComesBackInUpdateModeAfterEveryRestart) {
    Simulation sim(Options("no-boot,return-delay=1"));
    DeviceEmulator& device = sim.device(0);
    hid::AppDevice app(sim.bus());
    UpdateHost host(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    ASSERT_TRUE(device.waitForArrivals(2, In(kWait)));
    EXPECT_EQ(device.mode(), Mode::update);
    app.Close();

    ASSERT_TRUE(host.OpenFirst());
    ASSERT_TRUE(host.Upload(1, 4));
    for (std::uint32_t restart = 1; restart <= 2; ++restart) {
        const std::string before = device.path();
        EXPECT_EQ(host.dfu.SendModeSwitch(protocol::kModeApplication), hid::kWriteOk);
        ASSERT_TRUE(device.waitForArrivals(2 + restart, In(kWait)));
        EXPECT_EQ(device.restarts(), restart);
        EXPECT_EQ(device.mode(), Mode::update);
        EXPECT_EQ(device.path(), before);  // the node it left, the lowest free one
        host.dfu.Close();
        EXPECT_EQ(app.EnumerateDevices(), 0) << "never in application mode";
        ASSERT_TRUE(host.OpenFirst()) << "back in update mode, restart " << restart;
        EXPECT_EQ(host.dfu.entry(0).serial, "VUMO-0001");
    }
    const auto found = sim.bus().enumerate();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].productId, kDfuProductId);
    EXPECT_EQ(found[0].port, "sim-1");
    EXPECT_EQ(device.firmware(), host.ImageBytes());
    EXPECT_TRUE(host.Barrier()) << "the loader answers as before";
}

// A clock the test moves by hand, for the emulator's min-gap.
class TestClock {
public:
    std::chrono::steady_clock::time_point now() const {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns_.load()));
    }
    void advance(std::chrono::nanoseconds by) { ns_ += by.count(); }

private:
    std::atomic<std::int64_t> ns_{1'000'000'000};
};

// Reports are handled on the writing thread, so a dropped one is counted when the write
// returns, and a taken one is answered at once.
TEST(Faults, MinGapDropsAReportThatComesTooSoonAndTakesOneThatIsLateEnough) {
    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    TestClock clock;
    Faults faults;
    faults.minGap = 50ms;
    EmulatorConfig config = FastConfig(Mode::update, "VUMO-0001", faults);
    config.clock = [&clock] { return clock.now(); };
    DeviceEmulator device(port, config);
    UpdateHost host(bus);
    ASSERT_TRUE(host.OpenFirst());
    host.LoadImage(1);
    host.location = 2;

    host.dfu.SendReadyQuery();  // no reply yet to keep a gap from
    ASSERT_TRUE(host.Wait(Flag::ready));

    clock.advance(49ms);
    EXPECT_EQ(host.SendLocation(), hid::kWriteOk) << "the write itself goes through";
    EXPECT_EQ(device.status().reportsDropped, 1u);
    EXPECT_FALSE(device.locationCode().has_value()) << "a dropped command takes no effect";

    clock.advance(1ms);  // 50 ms after the READY: not sooner than the gap
    host.SendLocation();
    ASSERT_TRUE(host.Wait(Flag::location));
    EXPECT_EQ(device.locationCode(), 2);

    // The gap counts from the latest reply, not from the dropped report.
    clock.advance(30ms);
    host.SendSize();
    clock.advance(19ms);
    host.SendSize();
    EXPECT_EQ(device.status().reportsDropped, 3u);
    EXPECT_FALSE(device.sizeByte().has_value());
    clock.advance(1ms);
    host.SendSize();
    ASSERT_TRUE(host.Wait(Flag::size));
    EXPECT_EQ(device.sizeByte(), 1);
    EXPECT_EQ(device.status().reportsDropped, 3u);
    EXPECT_EQ(device.repliesSent(Reply::location), 1u);
    EXPECT_EQ(device.repliesSent(Reply::size), 1u);
}

// Only the loader keeps a gap: the application takes its mode switch however soon it comes.
TEST(Faults, MinGapLeavesTheApplicationAlone) {
    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    TestClock clock;
    Faults faults;
    faults.minGap = 50ms;
    EmulatorConfig config = FastConfig(Mode::update, "VUMO-0001", faults);
    config.clock = [&clock] { return clock.now(); };
    DeviceEmulator device(port, config);
    UpdateHost host(bus);
    ASSERT_TRUE(host.OpenFirst());
    host.dfu.SendReadyQuery();
    ASSERT_TRUE(host.Wait(Flag::ready));
    host.dfu.SendModeSwitch(protocol::kModeApplication);  // too soon: dropped
    EXPECT_EQ(device.status().reportsDropped, 1u);
    EXPECT_EQ(device.mode(), Mode::update);
    clock.advance(50ms);
    host.dfu.SendModeSwitch(protocol::kModeApplication);
    ASSERT_TRUE(device.waitForMode(Mode::application, In(kWait)));
    host.dfu.Close();

    hid::AppDevice app(bus);
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);  // no time has passed on the test clock
    EXPECT_EQ(device.modeSwitches(), 1u);
    EXPECT_EQ(device.status().reportsDropped, 1u);
}

// N@ITEM reaches the device it names and no other.
TEST(Faults, AFaultAimedAtOneDeviceLeavesTheOthersAlone) {
    Simulation sim(Options("devices=3,2@no-return,return-delay=1"));
    hid::AppDevice app(sim.bus());
    for (int switched = 0; switched < 3; ++switched) {
        ASSERT_EQ(app.EnumerateDevices(), 3 - switched);
        ASSERT_EQ(app.Open(0), hid::kOpenOk);
        app.SendModeSwitch(protocol::kModeUpdate);
        app.Close();
    }
    ASSERT_TRUE(sim.device(0).waitForMode(Mode::update, In(kWait)));
    ASSERT_TRUE(sim.device(2).waitForMode(Mode::update, In(kWait)));
    EXPECT_EQ(sim.device(1).modeSwitches(), 1u);
    EXPECT_FALSE(sim.device(1).waitForArrivals(2, In(50ms))) << "device 2 stays away";
    EXPECT_EQ(sim.bus().enumerate().size(), 2u);
}

TEST(Faults, UnplugCancelsAPendingReturn) {
    Simulation sim(Options("return-delay=100"));
    DeviceEmulator& device = sim.device(0);
    hid::AppDevice app(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 1);
    ASSERT_EQ(app.Open(0), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    device.unplug();
    // Three times the return delay.
    EXPECT_FALSE(device.waitForArrivals(2, In(300ms)));
    EXPECT_EQ(device.mode(), Mode::absent);
}

// --- several devices, lifetime ---------------------------------------------------------------

TEST(SeveralDevices, EachHasItsSerialAndOnlyTheOneToldSwitches) {
    Simulation sim(Options("devices=3,return-delay=1"));
    ASSERT_EQ(sim.deviceCount(), 3u);
    hid::AppDevice app(sim.bus());
    UpdateHost host(sim.bus());
    ASSERT_EQ(app.EnumerateDevices(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(app.entry(i).serial, SimulatedSerial(i));
        EXPECT_EQ(sim.device(static_cast<std::size_t>(i)).serial(), SimulatedSerial(i));
    }
    EXPECT_EQ(SimulatedSerial(1), "VUMO-0002");

    ASSERT_EQ(app.Open(1), hid::kOpenOk);
    app.SendModeSwitch(protocol::kModeUpdate);
    ASSERT_TRUE(sim.device(1).waitForMode(Mode::update, In(kWait)));
    app.Close();
    EXPECT_EQ(sim.device(0).mode(), Mode::application);
    EXPECT_EQ(sim.device(2).mode(), Mode::application);
    EXPECT_EQ(app.EnumerateDevices(), 2);

    ASSERT_EQ(host.dfu.EnumerateDevices(), 1);
    EXPECT_EQ(host.dfu.entry(0).serial, "VUMO-0002");
    ASSERT_EQ(host.dfu.Open(0), hid::kOpenOk);
    ASSERT_TRUE(host.Upload(0, 5));
    EXPECT_EQ(sim.device(1).firmware(), host.ImageBytes());
    EXPECT_EQ(sim.device(0).blocksReceived(), 0u);
    EXPECT_EQ(sim.device(2).blocksReceived(), 0u);
}

TEST(SeveralDevices, StartInUpdateModeWithTheRightReportLengths) {
    Simulation sim(Options("dfu,devices=2"));
    const auto found = sim.bus().enumerate();
    ASSERT_EQ(found.size(), 2u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].vendorId, kVendorId);
        EXPECT_EQ(found[i].productId, kDfuProductId);
        EXPECT_EQ(found[i].serial, SimulatedSerial(static_cast<int>(i)));
        const auto probe = sim.bus().probe(found[i].path);
        EXPECT_EQ(probe.lengths.output, protocol::kDfuReportLength);
        EXPECT_EQ(probe.lengths.input, protocol::kInputReportLength);
        EXPECT_EQ(sim.device(i).mode(), Mode::update);
    }
}

// arrive=: devices come one by one onto the bus, each with the next index's serial and port,
// seen by the host as ordinary arrivals.
TEST(Arrivals, OneMoreDeviceArrivesAfterEachInterval) {
    Simulation sim(Options("arrive=0.2"));
    auto monitor = sim.bus().monitor();
    ASSERT_NE(monitor, nullptr);
    ASSERT_EQ(sim.deviceCount(), 1u) << "the first is there from the start";
    const auto events = CollectEvents(*monitor, 2, In(kWait));
    ASSERT_EQ(events.size(), 2u);
    // On the bus a moment before the simulation counts it.
    ASSERT_TRUE(sim.waitForDevices(3, In(kWait)));
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(events[i].action, HotplugMonitor::Action::arrival);
        EXPECT_EQ(events[i].path, sim.device(i + 1).path());
    }
    const auto found = sim.bus().enumerate();
    for (std::size_t i = 0; i < 3; ++i) {
        const auto it = std::find_if(found.begin(), found.end(), [&](const auto& info) {
            return info.path == sim.device(i).path();
        });
        ASSERT_NE(it, found.end()) << i;
        EXPECT_EQ(it->serial, SimulatedSerial(static_cast<int>(i)));
        EXPECT_EQ(it->port, SimulatedPort(static_cast<int>(i)));
        EXPECT_EQ(it->productId, kAppProductId);
    }
}

// Arrivals stop at the most the simulation holds; N@ items reach the devices that arrive.
TEST(Arrivals, StopAtTheMostDevicesAndTakeTheirOwnItems) {
    Simulation sim(Options("dfu,devices=8,arrive=0.01,9@serial=LATE-9,10@no-boot"));
    ASSERT_TRUE(sim.waitForDevices(static_cast<std::size_t>(kMaxSimulatedDevices), In(kWait)));
    // Ten intervals more: another arrival would have come by then.
    EXPECT_FALSE(sim.waitForDevices(kMaxSimulatedDevices + 1u, In(100ms)));
    EXPECT_EQ(sim.deviceCount(), static_cast<std::size_t>(kMaxSimulatedDevices));
    EXPECT_EQ(sim.bus().enumerate().size(), static_cast<std::size_t>(kMaxSimulatedDevices));
    EXPECT_EQ(sim.device(8).serial(), "LATE-9");
    EXPECT_EQ(sim.device(8).status().port, "sim-9");
    EXPECT_EQ(sim.device(8).mode(), Mode::update);
    EXPECT_EQ(sim.device(9).serial(), "VUMO-0010");

    UpdateHost host(sim.bus());
    ASSERT_EQ(host.dfu.Scan().size(), static_cast<std::size_t>(kMaxSimulatedDevices));
    ASSERT_EQ(host.dfu.OpenIdentity(sim.device(9).path(), "VUMO-0010", "sim-10"), hid::kOpenOk);
    host.dfu.SendModeSwitch(protocol::kModeApplication);
    ASSERT_TRUE(sim.device(9).waitForArrivals(2, In(kWait)));
    EXPECT_EQ(sim.device(9).mode(), Mode::update) << "10@no-boot";
}

// Destroyed while devices keep arriving: the timer is stopped and joined, every device unplugged.
TEST(Arrivals, DestructionStopsThemCleanly) {
    for (int round = 0; round < 5; ++round) {
        Simulation sim(Options("arrive=0.001"));
        auto monitor = sim.bus().monitor();
        ASSERT_TRUE(sim.waitForDevices(2, In(kWait)));
    }
}

TEST(Lifetime, DestructionUnplugsAndCancelsPendingWork) {
    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    auto monitor = bus.monitor();
    const auto began = std::chrono::steady_clock::now();
    {
        EmulatorConfig config;
        config.startMode = Mode::update;
        config.returnDelay = std::chrono::minutes(10);
        config.faults.replyDelay = std::chrono::minutes(10);
        DeviceEmulator device(port, config);
        UpdateHost host(bus);
        ASSERT_TRUE(host.OpenFirst());
        host.dfu.SendReadyQuery();                            // reply pending for minutes
        host.dfu.SendModeSwitch(protocol::kModeApplication);  // return pending for minutes
        EXPECT_EQ(device.mode(), Mode::absent);

        DeviceEmulator other(port, EmulatorConfig{});
        EXPECT_EQ(bus.enumerate().size(), 1u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_TRUE(bus.enumerate().empty());
    const auto events = CollectEvents(*monitor, 4, In(kWait));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].action, HotplugMonitor::Action::removal) << "the second one, unplugged";
}

}  // namespace
}  // namespace vumo::sim
