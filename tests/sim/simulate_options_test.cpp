// --simulate OPTIONS: what each item sets, and that every mistake is refused by name.

#include "sim/simulate_options.h"
#include "sim/simulation.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::sim {
namespace {

using namespace std::chrono_literals;
using test::Options;

struct Valid {
    const char* text;
    std::function<void(SimulateOptions&)> expect;  // applied to the defaults
};

TEST(SimulateOptions, ValidTextsGiveTheseOptions) {
    const Valid cases[] = {
        {"", [](SimulateOptions&) {}},
        {"  ", [](SimulateOptions&) {}},
        {"app", [](SimulateOptions&) {}},
        {"dfu", [](SimulateOptions& o) { o.startMode = Mode::update; }},
        {"devices=1", [](SimulateOptions& o) { o.devices = 1; }},
        {"devices=10", [](SimulateOptions& o) { o.devices = 10; }},
        {"silent=READY", [](SimulateOptions& o) { o.faults.silent = {Reply::ready}; }},
        {"silent=LOCAT", [](SimulateOptions& o) { o.faults.silent = {Reply::location}; }},
        {"silent=size", [](SimulateOptions& o) { o.faults.silent = {Reply::size}; }},
        {"silent=START,silent=END",
         [](SimulateOptions& o) { o.faults.silent = {Reply::start, Reply::end}; }},
        {"silent=IMAGE:0", [](SimulateOptions& o) { o.faults.silentBlocks = {0}; }},
        {"silent=IMAGE:1023,silent=IMAGE:7",
         [](SimulateOptions& o) { o.faults.silentBlocks = {7, 1023}; }},
        {"unplug-at=0", [](SimulateOptions& o) { o.faults.unplugAtBlock = 0; }},
        {"unplug-at=300", [](SimulateOptions& o) { o.faults.unplugAtBlock = 300; }},
        {"no-return", [](SimulateOptions& o) { o.faults.noReturn = true; }},
        {"new-serial", [](SimulateOptions& o) { o.faults.newSerial = true; }},
        {"noise", [](SimulateOptions& o) { o.faults.noise = true; }},
        {"return-delay=0", [](SimulateOptions& o) { o.returnDelay = 0ms; }},
        {"return-delay=2500", [](SimulateOptions& o) { o.returnDelay = 2500ms; }},
        {"reply-delay=15", [](SimulateOptions& o) { o.faults.replyDelay = 15ms; }},
        {"no-boot", [](SimulateOptions& o) { o.faults.noBoot = true; }},
        {"min-gap=0", [](SimulateOptions&) {}},
        {"min-gap=5", [](SimulateOptions& o) { o.faults.minGap = 5ms; }},
        {"serial=ABC-1", [](SimulateOptions& o) { o.serial = "ABC-1"; }},
        {"serial=line@7", [](SimulateOptions& o) { o.serial = "line@7"; }},
        {"serial=A,serial=B", [](SimulateOptions& o) { o.serial = "B"; }},
        {"arrive=2", [](SimulateOptions& o) { o.arriveEvery = 2000ms; }},
        {"arrive=0.5", [](SimulateOptions& o) { o.arriveEvery = 500ms; }},
        {"arrive=1.25", [](SimulateOptions& o) { o.arriveEvery = 1250ms; }},
        {"arrive=0.001", [](SimulateOptions& o) { o.arriveEvery = 1ms; }},
        {"arrive=600", [](SimulateOptions& o) { o.arriveEvery = 600'000ms; }},
        // N@ITEM: the device's whole setting, the common items included.
        {"devices=8,3@silent=IMAGE:5,5@unplug-at=100,7@no-return",
         [](SimulateOptions& o) {
             o.devices = 8;
             o.perDevice[3].faults.silentBlocks = {5};
             o.perDevice[5].faults.unplugAtBlock = 100;
             o.perDevice[7].faults.noReturn = true;
         }},
        {"devices=2,2@noise,reply-delay=40,silent=END,2@reply-delay=0,2@silent=READY",
         [](SimulateOptions& o) {
             o.devices = 2;
             o.faults.replyDelay = 40ms;
             o.faults.silent = {Reply::end};
             DeviceOptions& second = o.perDevice[2];
             second.faults.noise = true;
             second.faults.replyDelay = 0ms;  // its own wins, even given before the common one
             second.faults.silent = {Reply::end, Reply::ready};  // sets add up
         }},
        {"2@serial=VUMO-0001,devices=3,serial=X,return-delay=9,3@return-delay=4,3@min-gap=2,"
         "1@no-boot",
         [](SimulateOptions& o) {
             o.devices = 3;
             o.serial = "X";
             o.returnDelay = 9ms;
             o.perDevice[1] = {"X", 9ms, {}};
             o.perDevice[1].faults.noBoot = true;
             o.perDevice[2] = {"VUMO-0001", 9ms, {}};
             o.perDevice[3] = {"X", 4ms, {}};
             o.perDevice[3].faults.minGap = 2ms;
         }},
        {" 2 @ no-boot , devices=2",
         [](SimulateOptions& o) {
             o.devices = 2;
             o.perDevice[2].faults.noBoot = true;
         }},
        // Devices that arrive later may be named too, up to the last one that can arrive.
        {"arrive=1,64@new-serial",
         [](SimulateOptions& o) {
             o.arriveEvery = 1000ms;
             o.perDevice[64].faults.newSerial = true;
         }},
        {" dfu , devices = 2 ",
         [](SimulateOptions& o) {
             o.startMode = Mode::update;
             o.devices = 2;
         }},
        {"dfu,devices=3,silent=SIZE,unplug-at=4,no-return,new-serial,noise,return-delay=5,"
         "reply-delay=6",
         [](SimulateOptions& o) {
             o.startMode = Mode::update;
             o.devices = 3;
             o.faults.silent = {Reply::size};
             o.faults.unplugAtBlock = 4;
             o.faults.noReturn = o.faults.newSerial = o.faults.noise = true;
             o.returnDelay = 5ms;
             o.faults.replyDelay = 6ms;
         }},
    };
    for (const auto& c : cases) {
        SimulateOptions expected;
        c.expect(expected);
        SimulateOptions got;
        got.devices = 7;  // parsing starts from the defaults, not from what was there
        std::string error;
        EXPECT_TRUE(ParseSimulateOptions(c.text, got, error)) << c.text << ": " << error;
        EXPECT_EQ(got, expected) << c.text;
    }
}

TEST(SimulateOptions, DefaultsAreOneApplicationDeviceReturningAfterASecond) {
    const SimulateOptions o;
    EXPECT_EQ(o.startMode, Mode::application);
    EXPECT_EQ(o.devices, 1);
    EXPECT_EQ(o.returnDelay, 1000ms);
    EXPECT_EQ(o.faults, Faults{});
}

TEST(SimulateOptions, MistakesAreRefusedByName) {
    const struct {
        const char* text;
        const char* named;  // the message must contain this
    } cases[] = {
        {"bogus", "\"bogus\""},
        {"app,fast", "\"fast\""},
        {"App", "\"App\""},
        {"devices=0", "devices"},
        {"devices=65", "1 to 64"},
        {"devices=two", "devices=two"},
        {"devices=-1", "devices=-1"},
        {"devices=3x", "devices=3x"},
        {"devices", "devices"},
        {"devices=", "devices"},
        {"silent", "silent"},
        {"silent=MAYBE", "MAYBE"},
        {"silent=IMAGE", "IMAGE:N"},
        {"silent=IMAGE:", "silent=IMAGE:"},
        {"silent=IMAGE:x", "IMAGE:x"},
        {"silent=IMAGE:1024", "IMAGE:1024"},
        {"silent=READY:1", "READY:1"},
        {"unplug-at=1024", "unplug-at"},
        {"unplug-at=", "unplug-at"},
        {"return-delay=600001", "return-delay"},
        {"reply-delay=abc", "reply-delay=abc"},
        {"reply-delay=1.5", "reply-delay=1.5"},
        {"no-return=1", "no-return"},
        {"noise=yes", "noise"},
        {"dfu=1", "dfu"},
        {"app,dfu", "app and dfu"},
        {"dfu,", "empty"},
        {",dfu", "empty"},
        {"app,,noise", "empty"},
        {"no-boot=1", "no-boot"},
        {"min-gap", "min-gap"},
        {"min-gap=x", "min-gap=x"},
        {"min-gap=600001", "min-gap=600001"},
        {"serial", "serial"},
        {"serial=", "serial"},
        {"serial=two words", "serial=two words"},
        {"serial=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "32"},
        {"arrive", "arrive"},
        {"arrive=0", "arrive=0"},
        {"arrive=0.0001", "arrive=0.0001"},
        {"arrive=-1", "arrive=-1"},
        {"arrive=1.", "arrive=1."},
        {"arrive=.5", "arrive=.5"},
        {"arrive=1,5", "\"5\""},  // not a decimal comma: "5" is an item of its own
        {"arrive=600.001", "arrive=600.001"},
        {"arrive=1e3", "arrive=1e3"},
        // Malformed N@ prefixes, each named in full.
        {"x@noise", "\"x@noise\""},
        {"@noise", "\"@noise\""},
        {"0@noise", "\"0@noise\""},
        {"-1@noise", "\"-1@noise\""},
        {"65@noise", "1 to 64"},
        {"1.5@noise", "\"1.5@noise\""},
        {"devices=2,2@", "\"2@\""},
        // N beyond the devices there will be, checked once every item is read.
        {"2@noise", "\"2@noise\""},
        {"4@no-boot,devices=3", "\"4@no-boot\""},
        {"devices=3,4@no-boot", "only 3 devices"},
        // Items for the whole machine take no N@.
        {"2@dfu,devices=2", "\"2@dfu\""},
        {"1@app", "\"1@app\""},
        {"1@devices=3", "\"1@devices=3\""},
        {"1@arrive=1", "\"1@arrive=1\""},
        // The item's own mistakes, with the N@ kept in the message.
        {"devices=2,2@bogus", "\"2@bogus\""},
        {"devices=2,2@silent=MAYBE", "2@silent=MAYBE"},
        {"devices=2,2@silent=IMAGE:x", "2@silent=IMAGE:x"},
        {"devices=2,2@reply-delay=abc", "2@reply-delay=abc"},
        {"devices=2,2@noise=1", "2@noise=1"},
        {"devices=2,2@serial=", "2@serial="},
    };
    for (const auto& c : cases) {
        SimulateOptions options;
        options.devices = 4;
        std::string error;
        EXPECT_FALSE(ParseSimulateOptions(c.text, options, error)) << c.text;
        EXPECT_NE(error.find(c.named), std::string::npos)
            << c.text << " gave \"" << error << "\", which does not name " << c.named;
        EXPECT_EQ(options.devices, 4) << c.text << ": a refused text changes nothing";
    }
}

TEST(SimulateOptions, HelpNamesEveryOption) {
    const std::string help = kSimulateHelp;
    for (const char* name : {"--simulate", "app", "dfu", "devices=N", "silent=", "READY", "LOCAT",
                             "SIZE", "START", "END", "IMAGE:N", "unplug-at=N", "no-return",
                             "new-serial", "noise", "return-delay=MS", "reply-delay=MS",
                             "no-boot", "serial=TEXT", "arrive=SECONDS", "min-gap=MS",
                             "N@ITEM"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
    // Every example in the help must parse.
    std::size_t examples = 0;
    for (std::size_t at = help.find("Example: --simulate="); at != std::string::npos;
         at = help.find("Example: --simulate=", at + 1)) {
        const std::size_t from = at + std::string_view("Example: --simulate=").size();
        const std::string example = help.substr(from, help.find('\n', from) - from);
        SimulateOptions o;
        std::string error;
        EXPECT_TRUE(ParseSimulateOptions(example, o, error)) << example << ": " << error;
        ++examples;
    }
    EXPECT_GE(examples, 1u);
    EXPECT_NE(help.find("Example: --simulate=dfu,devices=3,silent=IMAGE:3,2@"), std::string::npos)
        << "the example shows an item aimed at one device";
}

TEST(SimulateOptions, SimulationBuildsWhatTheOptionsSay) {
    SimulateOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimulateOptions("devices=3,new-serial,return-delay=7", options, error));
    Simulation sim(options);
    ASSERT_EQ(sim.deviceCount(), 3u);
    const auto found = sim.bus().enumerate();
    ASSERT_EQ(found.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sim.device(i).mode(), Mode::application);
        EXPECT_EQ(sim.device(i).path(), found[i].path);
        EXPECT_EQ(found[i].serial, "VUMO-000" + std::to_string(i + 1));
    }
    const EmulatorConfig config = MakeEmulatorConfig(options, 2);
    EXPECT_EQ(config.serial, "VUMO-0003");
    EXPECT_EQ(config.port, "sim-3");
    EXPECT_EQ(config.returnDelay, 7ms);
    EXPECT_TRUE(config.faults.newSerial);
    EXPECT_EQ(SimulatedSerial(9), "VUMO-0010");
    EXPECT_EQ(SimulatedPort(9), "sim-10");
}

TEST(SimulateOptions, EachDeviceGetsItsOwnItemsOverTheCommonOnes) {
    SimulateOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimulateOptions("dfu,devices=3,reply-delay=7,no-boot,2@serial=VUMO-0001,"
                                     "3@reply-delay=0,3@min-gap=4,3@return-delay=2",
                                     options, error))
        << error;
    const EmulatorConfig first = MakeEmulatorConfig(options, 0);
    const EmulatorConfig second = MakeEmulatorConfig(options, 1);
    const EmulatorConfig third = MakeEmulatorConfig(options, 2);
    EXPECT_EQ(first.serial, "VUMO-0001");
    EXPECT_EQ(second.serial, "VUMO-0001");
    EXPECT_EQ(third.serial, "VUMO-0003");
    EXPECT_EQ(first.port, "sim-1");
    EXPECT_EQ(second.port, "sim-2");
    EXPECT_EQ(third.port, "sim-3");
    for (const auto* c : {&first, &second, &third}) {
        EXPECT_EQ(c->startMode, Mode::update);
        EXPECT_TRUE(c->faults.noBoot);
    }
    EXPECT_EQ(first.faults.replyDelay, 7ms);
    EXPECT_EQ(second.faults.replyDelay, 7ms);
    EXPECT_EQ(third.faults.replyDelay, 0ms);
    EXPECT_EQ(first.faults.minGap, 0ms);
    EXPECT_EQ(third.faults.minGap, 4ms);
    EXPECT_EQ(first.returnDelay, 1000ms);
    EXPECT_EQ(third.returnDelay, 2ms);
}

TEST(SimulateOptions, TwoDevicesShareASerialOnDifferentPorts) {
    Simulation sim(Options("devices=3,2@serial=VUMO-0001"));
    const auto found = sim.bus().enumerate();
    ASSERT_EQ(found.size(), 3u);
    std::vector<std::string> sharing;
    for (const auto& info : found)
        if (info.serial == "VUMO-0001") sharing.push_back(info.port);
    ASSERT_EQ(sharing.size(), 2u);
    EXPECT_NE(sharing[0], sharing[1]);
    EXPECT_FALSE(sharing[0].empty());
    EXPECT_FALSE(sharing[1].empty());
    EXPECT_EQ(sim.device(1).serial(), "VUMO-0001");
    EXPECT_EQ(sim.device(1).status().port, "sim-2");
    EXPECT_EQ(sim.device(2).serial(), "VUMO-0003");
}

}  // namespace
}  // namespace vumo::sim
