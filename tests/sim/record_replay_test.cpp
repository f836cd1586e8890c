// The observing bus, the recorder, the recording's parser and the replay bus, through their
// public interfaces: what a recording holds, that a replay gives the program the same answers,
// and that the first difference stops it with a message naming the event.

#include "base/wake_event.h"
#include "platform/observed_hid_bus.h"
#include "record/recorder.h"
#include "record/report_trace.h"
#include "recording/json.h"
#include "recording/recording.h"
#include "sim/device_player.h"
#include "sim/replay_bus.h"
#include "sim/sim_hid_bus.h"
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace vumo::sim {
namespace {

using namespace std::chrono_literals;
using platform::OpenStatus;
using platform::ReadStatus;
using namespace recording;
using record::Recorder;
using record::TraceLine;
using Bytes = std::vector<std::uint8_t>;

// Answers every output report with an input report holding the report's second byte, and
// leaves the bus when it receives 0xEE.
class EchoDevice final : public platform::OutputSink {
public:
    explicit EchoDevice(sim::SimHidBus& bus) : bus_(bus) {}
    void onOutputReport(std::span<const std::uint8_t> report) override {
        if (report.size() > 1 && report[1] == 0xEE) {
            bus_.detach(path);
            return;
        }
        if (report.size() > 1) bus_.sendInputReport(path, Bytes{0x00, report[1], 0x55});
    }
    std::string path;

private:
    sim::SimHidBus& bus_;
};

bool Readable(base::Waitable ready, std::chrono::milliseconds limit) {
    const base::Waitable one[1] = {ready};
    return base::WaitAny(one, limit) == 0;
}

struct Conversation {
    std::vector<platform::HidInterfaceInfo> listed;
    platform::ProbeResult probe;
    std::vector<platform::WriteResult> writes;
    std::vector<Bytes> replies;
    std::vector<platform::HotplugMonitor::Event> hotplug;
};

// What a small host does: list, probe, open, then for each report write it and read the reply
// (or the end of the reader). Run against a bus, it gives everything the bus answered.
Conversation Talk(platform::HidBus& bus, const std::vector<Bytes>& reports) {
    Conversation c;
    auto monitor = bus.monitor();
    c.listed = bus.enumerate();
    if (c.listed.empty()) return c;
    const std::string path = c.listed.front().path;
    c.probe = bus.probe(path);
    auto writer = bus.openWriter(path);
    auto reader = bus.openReader(path);
    if (!writer.handle || !reader.handle) return c;
    for (const auto& r : reports) {
        c.writes.push_back(writer.handle->write(r));
        std::array<std::uint8_t, 17> buffer{};
        const auto got = reader.handle->read(buffer, 2s);
        if (got.status == ReadStatus::report)
            c.replies.emplace_back(buffer.begin(), buffer.begin() + static_cast<long>(got.length));
        else
            c.replies.push_back(
                Bytes{static_cast<std::uint8_t>(0xF0 + static_cast<int>(got.status))});
    }
    // A removal comes at its recorded delay in a replay: wait for it, within a limit.
    const bool leaves = !reports.empty() && reports.back().size() > 1 && reports.back()[1] == 0xEE;
    if (monitor && Readable(monitor->ready(), leaves ? 2000ms : 0ms))
        c.hotplug = monitor->takeEvents();
    writer.handle->close();
    reader.handle->close();
    return c;
}

class RecordReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-record-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        file_ = (dir_ / "conversation.jsonl").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Records `reports` sent to an echo device named with `serial`.
    Conversation Record(const std::vector<Bytes>& reports, const std::string& serial = "S-1") {
        sim::SimHidBus sim;
        auto device = std::make_shared<EchoDevice>(sim);
        device->path = sim.attach({0x1209, 2, "Loader", serial, "Maker", {17, 133}, {}}, device);
        std::string error;
        auto recorder = Recorder::Create(file_, {kFormatVersion, "test", {"t", "x"}}, error);
        EXPECT_TRUE(recorder) << error;
        platform::ObservedHidBus observed(sim, {recorder.get()});
        auto c = Talk(observed, reports);
        observed.noteEnd(3);
        return c;
    }

    Recording Load() {
        Recording rec;
        std::string error;
        EXPECT_TRUE(LoadRecording(file_, rec, error)) << error;
        return rec;
    }

    std::filesystem::path dir_;
    std::string file_;
};

bool SameAnswers(const Conversation& a, const Conversation& b) {
    if (a.listed.size() != b.listed.size()) return false;
    for (std::size_t i = 0; i < a.listed.size(); ++i) {
        const auto &x = a.listed[i], &y = b.listed[i];
        if (x.path != y.path || x.vendorId != y.vendorId || x.productId != y.productId ||
            x.product != y.product || x.serial != y.serial || x.manufacturer != y.manufacturer)
            return false;
    }
    if (a.probe.status != b.probe.status || a.probe.lengths.input != b.probe.lengths.input ||
        a.probe.lengths.output != b.probe.lengths.output)
        return false;
    if (a.writes.size() != b.writes.size() || a.replies != b.replies) return false;
    for (std::size_t i = 0; i < a.writes.size(); ++i)
        if (a.writes[i].ok != b.writes[i].ok || a.writes[i].written != b.writes[i].written)
            return false;
    if (a.hotplug.size() != b.hotplug.size()) return false;
    for (std::size_t i = 0; i < a.hotplug.size(); ++i)
        if (a.hotplug[i].action != b.hotplug[i].action || a.hotplug[i].path != b.hotplug[i].path)
            return false;
    return true;
}

TEST_F(RecordReplayTest, ReplayGivesTheRecordedAnswersIncludingTheDeviceLeaving) {
    const std::vector<Bytes> reports{{0x00, 0x01, 0x02}, {0x00, 0x07}, {0x00, 0xEE}};
    const auto recorded = Record(reports);
    ASSERT_EQ(recorded.replies.size(), 3u);
    ASSERT_EQ(recorded.hotplug.size(), 1u);  // the removal that 0xEE caused

    for (const double speed : {0.0, 1.0}) {
        ReplayHidBus replay(Load(), speed, file_);
        const auto replayed = Talk(replay, reports);
        EXPECT_TRUE(SameAnswers(recorded, replayed)) << "speed " << speed;
        EXPECT_EQ(replay.conclude(), "");
        EXPECT_EQ(replay.recordedExit(), 3);
    }
}

TEST_F(RecordReplayTest, EveryReplyIsRecordedAfterTheWriteThatCausedIt) {
    std::vector<Bytes> reports;
    for (int i = 0; i < 50; ++i) reports.push_back({0x00, static_cast<std::uint8_t>(i)});
    Record(reports);
    const auto rec = Load();
    int writes = 0;
    for (const auto& e : rec.events) {
        if (e.kind == EventKind::write) ++writes;
        if (e.kind == EventKind::read && e.readStatus == ReadStatus::report) {
            ASSERT_GE(e.data.size(), 2u);
            EXPECT_EQ(e.data[1] + 1, writes) << "a reply before its write, line " << e.line;
        }
    }
    EXPECT_EQ(writes, 50);
}

TEST_F(RecordReplayTest, FirstDifferentWriteStopsTheReplayNamingTheEvent) {
    Record({{0x00, 0x01}, {0x00, 0x02, 0x03}});
    ReplayHidBus replay(Load(), 0, "rec.jsonl");
    auto listed = replay.enumerate();
    ASSERT_EQ(listed.size(), 1u);
    auto writer = replay.openWriter(listed[0].path);
    ASSERT_TRUE(writer.handle);
    EXPECT_TRUE(writer.handle->write(Bytes{0x00, 0x01}).ok);
    EXPECT_FALSE(Readable(replay.divergenceEvent(), 0ms));
    EXPECT_FALSE(writer.handle->write(Bytes{0x00, 0x02, 0x04}).ok);
    EXPECT_TRUE(Readable(replay.divergenceEvent(), 1000ms));

    const std::string text = replay.divergence();
    const auto rec = Load();
    std::size_t second = 0;
    for (std::size_t i = 0, writes = 0; i < rec.events.size(); ++i)
        if (rec.events[i].kind == EventKind::write && ++writes == 2) second = i + 1;
    EXPECT_NE(text.find("event " + std::to_string(second) + " (line " + std::to_string(second + 1) +
                        " of rec.jsonl)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("expected: " + listed[0].path + ": 00 02 03"), std::string::npos) << text;
    EXPECT_NE(text.find("actual:   " + listed[0].path + ": 00 02 04"), std::string::npos) << text;
    EXPECT_NE(text.find("first difference at byte 2"), std::string::npos) << text;
    // Stopped: even the recorded report is refused now, and the end tells the same difference.
    EXPECT_FALSE(writer.handle->write(Bytes{0x00, 0x02, 0x03}).ok);
    EXPECT_EQ(replay.conclude(), text);
}

TEST_F(RecordReplayTest, ARunThatEndsEarlyIsADifference) {
    Record({{0x00, 0x01}, {0x00, 0x02}});
    ReplayHidBus replay(Load(), 0, "rec.jsonl");
    Talk(replay, {{0x00, 0x01}});
    const std::string text = replay.conclude();
    EXPECT_NE(text.find("the run ended before event"), std::string::npos) << text;
    EXPECT_NE(text.find("00 02"), std::string::npos) << text;
}

TEST_F(RecordReplayTest, HeldWriterMakesProbesBusyAndOtherPathsAreGone) {
    Record({{0x00, 0x01}});
    ReplayHidBus replay(Load(), 0, file_);
    const auto path = replay.enumerate().at(0).path;
    EXPECT_EQ(replay.probe(path).status, OpenStatus::ok);
    EXPECT_EQ(replay.probe("sim:elsewhere").status, OpenStatus::gone);
    auto writer = replay.openWriter(path);
    ASSERT_TRUE(writer.handle);
    EXPECT_EQ(replay.probe(path).status, OpenStatus::busy);
    EXPECT_EQ(replay.openWriter(path).status, OpenStatus::busy);
    writer.handle->close();
    EXPECT_EQ(replay.probe(path).status, OpenStatus::ok);
}

// A device that leaves and one that comes at the same path are two appearances, as on the
// simulated bus: the removal names the one that left, the arrival and later listings the new one.
TEST(ReplayInstances, EachDeviceAtAPathIsItsOwnAppearance) {
    Recording rec;
    const auto add = [&](EventKind kind, std::string path = {}) -> Event& {
        rec.events.push_back({});
        rec.events.back().kind = kind;
        rec.events.back().path = std::move(path);
        rec.events.back().monitor = 1;
        rec.events.back().handle = 1;
        return rec.events.back();
    };
    add(EventKind::enumerate).devices = {{"p0", 0x1209, 2, "Loader", "S", "Maker", "1-1"}};
    add(EventKind::monitor);
    add(EventKind::openWriter, "p0");
    Event& write = add(EventKind::write, "p0");
    write.data = {0};
    write.ok = true;
    write.written = 1;
    add(EventKind::removal, "p0");
    add(EventKind::arrival, "p0");
    add(EventKind::enumerate).devices = {{"p0", 0x1209, 1, "App", "S", "Maker", "1-1"}};
    add(EventKind::end);

    ReplayHidBus bus(std::move(rec), 0, "appearances.jsonl");
    const auto monitor = bus.monitor();
    ASSERT_TRUE(monitor);
    const std::string loader = bus.enumerate().at(0).instance;
    EXPECT_FALSE(loader.empty());
    auto writer = bus.openWriter("p0");
    ASSERT_TRUE(writer.handle);
    ASSERT_TRUE(writer.handle->write(Bytes{0}).ok);
    std::vector<platform::HotplugMonitor::Event> events;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (events.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        const base::Waitable ready[1] = {monitor->ready()};
        base::WaitAny(ready, 1s);
        for (auto& e : monitor->takeEvents()) events.push_back(std::move(e));
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].action, platform::HotplugMonitor::Action::removal);
    EXPECT_EQ(events[0].instance, loader);
    EXPECT_EQ(events[1].action, platform::HotplugMonitor::Action::arrival);
    EXPECT_FALSE(events[1].instance.empty());
    EXPECT_NE(events[1].instance, loader);
    const auto listed = bus.enumerate();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].productId, 1);
    EXPECT_EQ(listed[0].instance, events[1].instance);
}

// A recording of `arrivals` devices arriving after a write, then listed and probed: the shape
// of a long bench recording. Every arrival and every probe is looked up while it plays.
Recording ManyArrivals(int arrivals) {
    const auto event = [](EventKind kind, std::string path = {}) {
        Event e;
        e.kind = kind;
        e.path = std::move(path);
        return e;
    };
    const auto device = [](const std::string& path) {
        return platform::HidInterfaceInfo{path, 0x1209, 2, "Loader", path, "Maker", path};
    };
    Recording rec;
    rec.events.push_back(event(EventKind::enumerate));
    rec.events.back().devices = {device("p0")};
    rec.events.push_back(event(EventKind::monitor));
    rec.events.back().monitor = 1;
    rec.events.push_back(event(EventKind::openWriter, "p0"));
    rec.events.back().handle = 1;
    for (const std::uint8_t b : {0, 1}) {
        rec.events.push_back(event(EventKind::write, "p0"));
        rec.events.back().handle = 1;
        rec.events.back().data = {b};
        rec.events.back().ok = true;
        rec.events.back().written = 1;
        if (b == 1) break;
        for (int i = 1; i <= arrivals; ++i) {
            rec.events.push_back(event(EventKind::arrival, "p" + std::to_string(i)));
            rec.events.back().monitor = 1;
        }
        rec.events.push_back(event(EventKind::enumerate));
        for (int i = 0; i <= arrivals; ++i)
            rec.events.back().devices.push_back(device("p" + std::to_string(i)));
    }
    for (int i = 1; i <= arrivals; ++i) {
        rec.events.push_back(event(EventKind::probe, "p" + std::to_string(i)));
        rec.events.back().lengths = {17, 133};
    }
    rec.events.push_back(event(EventKind::end));
    return rec;
}

// The lookups of the in-process replay through the whole recording.
std::uint64_t ReplaySteps(int arrivals) {
    ReplayHidBus bus(ManyArrivals(arrivals), 0, "many.jsonl");
    const auto monitor = bus.monitor();
    auto writer = bus.openWriter("p0");
    EXPECT_TRUE(monitor && writer.handle);
    const std::uint8_t first[] = {0};
    writer.handle->write(first);
    std::size_t seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen < static_cast<std::size_t>(arrivals) &&
           std::chrono::steady_clock::now() < deadline) {
        const base::Waitable ready[1] = {monitor->ready()};
        base::WaitAny(ready, std::chrono::seconds(1));
        seen += monitor->takeEvents().size();
    }
    EXPECT_EQ(seen, static_cast<std::size_t>(arrivals));
    EXPECT_EQ(bus.enumerate().size(), static_cast<std::size_t>(arrivals) + 1);
    for (int i = 1; i <= arrivals; ++i)
        EXPECT_EQ(bus.probe("p" + std::to_string(i)).lengths.output, 133u);
    return bus.lookupSteps();
}

// The same through the player of the device's side, which makes each arriving device.
std::uint64_t PlayerSteps(int arrivals) {
    struct Port : platform::DevicePort {
        std::string attach(const platform::DeviceDescription& d,
                           std::shared_ptr<platform::OutputSink>) override {
            std::lock_guard lock(mutex);
            if (d.lengths.output == 133) ++plugged;  // p0 too: by the IDs it shares
            changed.notify_all();
            return "node" + std::to_string(plugged);
        }
        void detach(const std::string&) override {}
        bool sendInputReport(const std::string&, std::span<const std::uint8_t>) override {
            return true;
        }
        std::mutex mutex;
        std::condition_variable changed;
        int plugged = 0;
    } side;
    DevicePlayer player(ManyArrivals(arrivals), 0, "many.jsonl", side);
    EXPECT_TRUE(player.start());
    const std::uint8_t first[] = {0};
    player.written("p0", first);
    {
        std::unique_lock lock(side.mutex);
        EXPECT_TRUE(side.changed.wait_for(lock, std::chrono::seconds(60), [&] {
            return side.plugged == arrivals + 1;
        })) << side.plugged;
    }
    return player.lookupSteps();
}

// Replay cost grows with the recording, not its square: four times the arrivals, about four
// times the lookup work (a walk through the rest of the recording for each would be sixteen).
TEST(ReplayCost, LookupsGrowInProportionToTheRecording) {
    for (const auto steps : {&ReplaySteps, &PlayerSteps}) {
        const double small = static_cast<double>(steps(2000));
        const double large = static_cast<double>(steps(8000));
        EXPECT_GT(small, 2000);
        EXPECT_LT(large / small, 5.0) << small << " -> " << large;
    }
}

TEST(RecordingFormat, DeviceStringsRoundTripByteForByteAndTheFileStaysUtf8) {
    Event e;
    e.kind = EventKind::enumerate;
    e.micros = 12345;
    platform::HidInterfaceInfo info;
    info.path = "/dev/hidraw3";
    info.vendorId = 0x1209;
    info.productId = 2;
    info.product = std::string("Loader \xC3\xA9 \xFF\xC0\x80 \"q\" \\ \x1b[31m", 24);
    info.serial = std::string("A\0B\xED\xA0\x80", 6);  // a NUL and a surrogate's bytes
    info.manufacturer = "\xF0\x9F\x98\x80";
    e.devices.push_back(info);
    const std::string text = FormatHeader({kFormatVersion, "1.0", {"vumo-dfu"}}) + FormatEvent(e);
    EXPECT_TRUE(text::IsValidUtf8(text));
    EXPECT_EQ(text.find('\x1b'), std::string::npos);

    Recording rec;
    std::string error;
    ASSERT_TRUE(ParseRecording(text, rec, error)) << error;
    ASSERT_EQ(rec.events.size(), 1u);
    const auto& got = rec.events[0].devices.at(0);
    EXPECT_EQ(got.product, info.product);
    EXPECT_EQ(got.serial, info.serial);
    EXPECT_EQ(got.manufacturer, info.manufacturer);
    EXPECT_EQ(rec.events[0].micros, 12345);
}

TEST(RecordingFormat, BadRecordingsAreRefusedWithTheLineNamed) {
    const std::string header =
        "{\"format\":\"vumo-dfu-recording\",\"version\":1,\"program\":\"1\",\"argv\":[]}\n";
    const std::string write =
        "{\"t\":1.000,\"e\":\"write\",\"h\":1,\"path\":\"p\",\"data\":\"0001\",\"ok\":true,\"n\":2}"
        "\n";
    struct Case {
        std::string text;
        std::string expected;  // the start of the error
    } cases[] = {
        {"", "line 1: the recording is empty"},
        {header + write.substr(0, 30), "line 2: the recording is truncated"},
        {"{\"format\":\"vumo-dfu-recording\",\"version\":2,\"program\":\"1\",\"argv\":[]}\n",
         "line 1: recording format version 2 is not supported"},
        {"{\"hello\":1}\n", "line 1: this is not a vumo-dfu recording"},
        {header + write +
             "{\"t\":2,\"e\":\"write\",\"h\":1,\"path\":\"p\",\"data\":\"0g\",\"ok\":true,\"n\":1}"
             "\n",
         "line 3: bad hex in \"data\""},
        {header + "{\"t\":2,\"e\":\"read\",\"h\":1,\"path\":\"p\",\"status\":\"report\",\"data\":"
                  "\"123\"}\n",
         "line 2: bad hex in \"data\""},
        {header + "{\"t\":5,\"e\":\"end\",\"exit\":0}\n" + write, "line 3: events out of order"},
        {header + "{\"t\":1,\"e\":\"dance\"}\n", "line 2: unknown event \"dance\""},
        {header + "[1,2]\n", "line 2: not a JSON object"},
        {header + "{\"t\":1,\"e\":\"end\",\"exit\":0} x\n", "line 2: not valid JSON"},
        {header +
             "{\"t\":1,\"e\":\"probe\",\"path\":\"p\",\"status\":\"maybe\",\"in\":1,\"out\":1}\n",
         "line 2: unknown \"status\" \"maybe\""},
        {header + "{\"t\":-1,\"e\":\"end\",\"exit\":0}\n", "line 2: \"t\" is missing"},
        {header + "{\"t\":1,\"e\":\"enumerate\",\"devices\":[{\"path\":\"p\"}]}\n",
         "line 2: \"vid\" is missing"},
        {header + "{\"t\":1,\"e\":\"end\",\"exit\":0,\"exit\":1}\n",
         "line 2: not valid JSON: a member name is repeated"},
        {header + std::string(200, '[') + "\n", "line 2: not valid JSON: nested too deeply"},
        {header + "{\"t\":1,\"e\":\"end\",\"exit\":0,\"x\":\"\xC0\xAF\"}\n",
         "line 2: not valid JSON: invalid UTF-8"},
    };
    for (const auto& c : cases) {
        Recording rec;
        std::string error;
        EXPECT_FALSE(ParseRecording(c.text, rec, error)) << c.expected;
        EXPECT_EQ(error.substr(0, c.expected.size()), c.expected) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    Recording rec;
    std::string error;
    EXPECT_TRUE(ParseRecording(header + write, rec, error)) << error;
}

TEST(ReportTrace, OneLinePerReportWithTimeDirectionLengthAndHex) {
    const Bytes report{0x00, 0x52, 0x45, 0x41, 0x44, 0x59, 0x3f, 0x00};
    EXPECT_EQ(TraceLine(10021us, true, report), "+10.021 ms  out 8  00 52 45 41 44 59 3f 00\n");
    EXPECT_EQ(TraceLine(3s + 5us, false, Bytes{0xab}), "+3000.005 ms  in 1  ab\n");
}

TEST(ObservedHidBus, TellsWhatPassesButNotTimeouts) {
    struct Log final : platform::BusObserver {
        std::vector<std::string> seen;
        void onWrite(Offset, int, const std::string&, std::span<const std::uint8_t>,
                     const platform::WriteResult&) override {
            seen.push_back("write");
        }
        void onRead(Offset, int, const std::string&, ReadStatus status,
                    std::span<const std::uint8_t>) override {
            seen.push_back(std::string("read ") + ReadStatusName(status));
        }
        void onClose(Offset, platform::HandleKind, int, const std::string&, bool) override {
            seen.push_back("close");
        }
    } log;
    sim::SimHidBus sim;
    auto device = std::make_shared<EchoDevice>(sim);
    device->path = sim.attach({0x1209, 2, "Loader", "S", "M", {17, 133}, {}}, device);
    platform::ObservedHidBus bus(sim, {&log});
    auto reader = bus.openReader(device->path);
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(reader.handle->read(buffer, 1ms).status, ReadStatus::timeout);
    reader.handle->cancel();
    EXPECT_EQ(reader.handle->read(buffer, 1ms).status, ReadStatus::cancelled);
    EXPECT_EQ(reader.handle->read(buffer, 1ms).status, ReadStatus::cancelled);
    reader.handle->close();
    EXPECT_EQ(log.seen, (std::vector<std::string>{"read cancelled", "close"}));
}

}  // namespace
}  // namespace vumo::sim
