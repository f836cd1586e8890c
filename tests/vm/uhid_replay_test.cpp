// vumo-dfu-sim --replay without a kernel: a recording from tests/recordings played by the
// device player through the uhid port onto the stand-in for the kernel, which here plays the
// host: it sends the recorded writes as UHID_OUTPUT events and watches what the device sends.

#include "recording/recording.h"
#include "sim/device_player.h"
#include "sim/uhid/uhid_port.h"
#include "vm/fake_uhid_kernel.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vumo::sim {
namespace {

using recording::EventKind;

recording::Recording Load(const std::string& name) {
    recording::Recording recording;
    std::string error;
    EXPECT_TRUE(
        recording::LoadRecording(std::string(VUMO_RECORDINGS_DIR) + "/" + name, recording, error))
        << error;
    return recording;
}

// The device that stands for each recorded path: the first enumeration's devices, then each
// arrival, numbered in that order as the kernel numbers its descriptors.
std::map<std::string, int> DevicesByAppearance(const recording::Recording& recording) {
    std::map<std::string, int> index;
    bool listed = false;
    for (const auto& e : recording.events) {
        if (e.kind == EventKind::enumerate && !listed) {
            listed = true;
            for (const auto& d : e.devices) index.emplace(d.path, static_cast<int>(index.size()));
        } else if (e.kind == EventKind::arrival) {
            index[e.path] = static_cast<int>(index.size());
        }
    }
    return index;
}

std::vector<std::uint8_t> WithoutReportId(const std::vector<std::uint8_t>& report) {
    return {report.begin() + 1, report.end()};
}

// The player on the uhid port on the stand-in kernel, whose nodes start at hidraw5 so that
// no recorded name ("sim:hidraw0") can be taken for the node.
struct Replay {
    explicit Replay(const std::string& name)
        : recording(Load(name)),
          kernel({.firstNode = 5}),
          port(std::make_unique<UhidPort>(kernel.settings())),
          owned(std::make_unique<sim::DevicePlayer>(recording, 0, name, *port)),
          player(*owned) {}
    ~Replay() { Stop(); }
    // Joins the player's and the port's threads: what either was to send has been sent.
    void Stop() {
        owned.reset();
        port.reset();
    }

    recording::Recording recording;
    FakeKernel kernel;
    std::unique_ptr<UhidPort> port;
    std::unique_ptr<sim::DevicePlayer> owned;
    sim::DevicePlayer& player;
};

TEST(UhidReplay, PlaysARecordedUpdateRepliesFollowingTheirWrites) {
    Replay r("update-from-dfu.jsonl");
    ASSERT_TRUE(r.player.start());
    const auto create = r.kernel.waitFor(UHID_CREATE2);
    ASSERT_TRUE(create);
    EXPECT_EQ(create->vendor, 0x1209u);
    EXPECT_EQ(create->product, 2u);
    EXPECT_EQ(create->name, "Vumo Update Loader");
    EXPECT_EQ(create->uniq, "VUMO-0001");
    EXPECT_EQ(create->data, BuildReportDescriptor(17, 133));  // the recorded probe's lengths
    EXPECT_EQ(r.player.nodeOf("sim:hidraw0"), "/dev/hidraw5");

    const auto device = DevicesByAppearance(r.recording);
    std::size_t replies = 0;  // input reports the recording has up to here
    std::size_t writes = 0;
    for (const auto& e : r.recording.events) {
        if (e.kind == EventKind::read && e.readStatus == platform::ReadStatus::report) {
            ++replies;
        } else if (e.kind == EventKind::write) {
            // Everything the device said before this write has come, and nothing after it.
            ASSERT_TRUE(r.kernel.waitCount(UHID_INPUT2, replies)) << "before line " << e.line;
            ASSERT_EQ(r.kernel.count(UHID_INPUT2), replies) << "before line " << e.line;
            r.kernel.sendOutput(static_cast<std::size_t>(device.at(e.path)), e.data);
            ++writes;
        }
    }
    EXPECT_EQ(writes, r.player.recordedWrites());
    ASSERT_TRUE(r.kernel.waitCount(UHID_INPUT2, replies));

    // Each reply as recorded, without the report ID of an unnumbered report, on its device.
    const auto sent = r.kernel.all(UHID_INPUT2);
    std::size_t k = 0;
    for (const auto& e : r.recording.events) {
        if (e.kind != EventKind::read || e.readStatus != platform::ReadStatus::report) continue;
        ASSERT_LT(k, sent.size());
        EXPECT_EQ(sent[k].data, WithoutReportId(e.data)) << "line " << e.line;
        EXPECT_EQ(sent[k].device, device.at(e.path));
        ++k;
    }

    // The restart: the loader leaves, the application comes back as a new device with its own
    // recorded lengths, under the next node.
    ASSERT_TRUE(r.kernel.waitFor(UHID_DESTROY));
    EXPECT_EQ(r.kernel.waitFor(UHID_DESTROY)->device, 0);
    const auto back = r.kernel.waitFor(UHID_CREATE2, 1);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->product, 1u);
    EXPECT_EQ(back->uniq, "VUMO-0001");
    EXPECT_EQ(back->data, BuildReportDescriptor(17, 21));
    EXPECT_EQ(back->phys, create->phys);  // the recorded port, so the host knows it again
    EXPECT_TRUE(r.player.waitStopped(std::chrono::steady_clock::now() + kWait));
    EXPECT_EQ(r.player.nodeOf("sim:hidraw1"), "/dev/hidraw6");
    EXPECT_EQ(r.player.nodeOf("sim:hidraw0"), "");
    EXPECT_TRUE(r.player.finished());
    EXPECT_EQ(r.player.conclude(), "");
    EXPECT_EQ(r.player.recordedExit(), 0);
}

TEST(UhidReplay, AChangedWriteStopsTheReplayWithTheExpectedAndActualBytes) {
    Replay r("update-from-dfu.jsonl");
    ASSERT_TRUE(r.player.start());
    std::vector<const recording::Event*> writes;
    for (const auto& e : r.recording.events)
        if (e.kind == EventKind::write) writes.push_back(&e);
    ASSERT_GE(writes.size(), 4u);

    // READY? and LOCATION as recorded, then SIZE with another value.
    for (std::size_t i = 0; i < 2; ++i) {
        r.kernel.sendOutput(0, writes[i]->data);
        ASSERT_TRUE(r.kernel.waitCount(UHID_INPUT2, i + 1));
    }
    auto changed = writes[2]->data;
    changed[5] ^= 1;
    r.kernel.sendOutput(0, changed);
    ASSERT_TRUE(r.player.waitStopped(std::chrono::steady_clock::now() + kWait));
    const std::string text = r.player.divergence();
    EXPECT_NE(text.find("event 11 (line 12 of update-from-dfu.jsonl) differs"), std::string::npos)
        << text;
    EXPECT_NE(text.find("expected: sim:hidraw0: 00 53 49 5a 45 18 and 127 bytes 00 (133 bytes)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("actual:   sim:hidraw0: 00 53 49 5a 45 19 and 127 bytes 00 (133 bytes)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("first difference at byte 5"), std::string::npos) << text;

    // Once stopped, even the recorded write is not answered, and the end keeps the first
    // difference.
    r.kernel.sendOutput(0, writes[2]->data);
    r.kernel.sendOutput(0, writes[3]->data);
    EXPECT_FALSE(r.player.finished());
    EXPECT_EQ(r.player.conclude(), text);
    // Wait for both writes to have reached the player: the port hands over events in order,
    // and answers a feature request after them.
    uhid_event request{};
    request.type = UHID_GET_REPORT;
    request.u.get_report.id = 1;
    r.kernel.send(0, request);
    ASSERT_TRUE(r.kernel.waitFor(UHID_GET_REPORT_REPLY));
    r.Stop();
    EXPECT_EQ(r.kernel.count(UHID_INPUT2), 2u);
}

TEST(UhidReplay, AHostThatStopsEarlyIsToldWhatItDidNotWrite) {
    Replay r("update-from-dfu.jsonl");
    ASSERT_TRUE(r.player.start());
    for (const auto& e : r.recording.events) {
        if (e.kind != EventKind::write) continue;
        r.kernel.sendOutput(0, e.data);
        break;
    }
    ASSERT_TRUE(r.kernel.waitCount(UHID_INPUT2, 1));
    const std::string text = r.player.conclude();
    EXPECT_NE(text.find("the host was done before event 9 (line 10 of update-from-dfu.jsonl)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("expected: sim:hidraw0: 00 4c 4f 43 41 54 49 4f 4e 01"), std::string::npos)
        << text;
}

TEST(UhidReplay, DevicesAreMadeInTheOrderTheRecordingListsThem) {
    Replay r("list-two.jsonl");
    ASSERT_TRUE(r.player.start());
    ASSERT_TRUE(r.kernel.waitCount(UHID_CREATE2, 2));
    // The stand-in serves each descriptor on its own thread: tell them apart by descriptor.
    std::map<int, std::string> serials;
    for (const auto& c : r.kernel.all(UHID_CREATE2)) serials[c.device] = c.uniq;
    EXPECT_EQ(serials, (std::map<int, std::string>{{0, "VUMO-0001"}, {1, "VUMO-0002"}}));
    EXPECT_EQ(r.player.nodeOf("sim:hidraw0"), "/dev/hidraw5");
    EXPECT_EQ(r.player.nodeOf("sim:hidraw1"), "/dev/hidraw6");
    // The host only lists: nothing is for it to write, and the recording plays to its end.
    EXPECT_TRUE(r.player.waitStopped(std::chrono::steady_clock::now() + kWait));
    EXPECT_EQ(r.player.conclude(), "");
}

}  // namespace
}  // namespace vumo::sim
