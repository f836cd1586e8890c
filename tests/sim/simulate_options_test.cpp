// --simulate OPTIONS: what each item sets, and that every mistake is refused by name.

#include "sim/simulate_options.h"
#include "sim/simulation.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vumo::sim {
namespace {

using namespace std::chrono_literals;

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
        {"devices=11", "1 to 10"},
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
                             "new-serial", "noise", "return-delay=MS", "reply-delay=MS"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
    // Every example in the help must parse.
    SimulateOptions o;
    std::string error;
    EXPECT_TRUE(ParseSimulateOptions("dfu,devices=2,silent=IMAGE:3", o, error)) << error;
    EXPECT_NE(help.find("dfu,devices=2,silent=IMAGE:3"), std::string::npos);
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
    EXPECT_EQ(config.returnDelay, 7ms);
    EXPECT_TRUE(config.faults.newSerial);
    EXPECT_EQ(SimulatedSerial(9), "VUMO-0010");
}

}  // namespace
}  // namespace vumo::sim
