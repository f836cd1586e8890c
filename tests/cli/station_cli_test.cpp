// vumo-dfu station run as a child process on its built-in simulated devices: outcomes and their
// messages, the flash log, the exit statuses, --serial, --count, --again, devices that share a
// serial on different ports, and Ctrl-C once (the running devices finish) and twice (they
// stop). Output is read as it comes, with a deadline on every wait.
//
// The devices start in update mode where the mode switch is not the point: the application-mode
// path carries the product's ten seconds of settling.

#include "cli/child_process.h"
#include "cli/exit_codes.h"
#include "image/sha256.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Clock;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The value of a string or number key in one JSON line, as written (escapes kept).
std::string Field(const std::string& line, const std::string& key) {
    const std::string head = "\"" + key + "\": ";
    const auto at = line.find(head);
    if (at == std::string::npos) return "<none>";
    std::size_t i = at + head.size();
    if (line[i] != '"') return line.substr(i, line.find_first_of(",}", i) - i);
    std::string value;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\') value += line[i++];
        value += line[i];
    }
    return value;
}

std::vector<std::string> Events(const std::string& out, const std::string& event) {
    std::vector<std::string> found;
    for (const auto& line : Lines(out))
        if (Field(line, "event") == event) found.push_back(line);
    return found;
}

// The finished events by serial.
std::map<std::string, std::string> FinishedBySerial(const std::string& out) {
    std::map<std::string, std::string> found;
    for (const auto& line : Events(out, "finished")) found[Field(line, "serial")] = line;
    return found;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class StationCliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-station-test-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        // 16 blocks: enough for faults at blocks 5 and 10, short enough for a quick upload.
        firmware_ = MakeSample(2000, "fw.bin");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string MakeSample(int size, const std::string& name) {
        const std::string path = (dir_ / name).string();
        Child child({VUMO_TEST_SAMPLE_IMAGE, "--location", "1", "--size", std::to_string(size), path});
        EXPECT_EQ(child.Wait(Clock::now() + 10s), 0) << child.err();
        return path;
    }

    std::string FileSha256(const std::string& path) {
        const std::string bytes = ReadAll(path);
        return image::Sha256Hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    }

    static std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), test::DfuProgram(VUMO_TEST_DFU));
        return args;
    }

    struct Run {
        int exitCode = -1;
        std::string out;
        std::string err;
    };
    Run Station(std::vector<std::string> args, std::chrono::seconds limit = 60s) {
        Child child(Args(std::move(args)));
        Run run;
        run.exitCode = child.Wait(Clock::now() + limit);
        run.out = child.out();
        run.err = child.err();
        return run;
    }

    std::filesystem::path dir_;
    std::string firmware_;
};

TEST_F(StationCliTest, EightDevicesThreeFaultsEachOutcomeItsOwnAndEveryOneLogged) {
    const auto log = (dir_ / "flash.jsonl").string();
    // Device 7 never comes back after its restart: it fails only once the 30-second return
    // limit has passed, which makes this the slow case of the file.
    const auto run = Station(
        {"station", firmware_, "--simulate=dfu,devices=8,return-delay=5,3@silent=IMAGE:5,"
                               "5@unplug-at=10,7@no-return",
         "--count", "8", "--json", "--log", log, "--timeout", "0.5"},
        120s);
    EXPECT_EQ(run.exitCode, kExitStationFailed) << run.err;

    const auto finished = FinishedBySerial(run.out);
    ASSERT_EQ(finished.size(), 8u) << run.out;
    for (const std::string serial : {"VUMO-0001", "VUMO-0002", "VUMO-0004", "VUMO-0006", "VUMO-0008"}) {
        const auto& line = finished.at(serial);
        EXPECT_EQ(Field(line, "outcome"), "ok") << line;
        EXPECT_EQ(Field(line, "step"), "done") << line;
        EXPECT_EQ(Field(line, "blocks"), "16") << line;
    }
    EXPECT_EQ(Field(finished.at("VUMO-0003"), "message"), "DFU upload time out : 5");
    EXPECT_EQ(Field(finished.at("VUMO-0003"), "step"), "block");
    // The same cause and hint as `update` and the window give for the message.
    EXPECT_NE(Field(finished.at("VUMO-0003"), "cause").find("stopped answering"), std::string::npos);
    EXPECT_NE(Field(finished.at("VUMO-0003"), "hint").find("flashes it directly"), std::string::npos);
    EXPECT_EQ(Field(finished.at("VUMO-0005"), "message"), "DFU upload time out : 10");
    EXPECT_NE(Field(finished.at("VUMO-0005"), "cause").find("left the bus at block 10"),
              std::string::npos);
    EXPECT_EQ(Field(finished.at("VUMO-0007"), "message"),
              "uploaded, but the device did not come back in application mode");
    EXPECT_EQ(Field(finished.at("VUMO-0007"), "step"), "restart");
    for (const std::string serial : {"VUMO-0003", "VUMO-0005", "VUMO-0007"})
        EXPECT_EQ(Field(finished.at(serial), "outcome"), "failed") << finished.at(serial);

    // Each device took once, on its own port; the summary last.
    const auto arrived = Events(run.out, "arrived");
    EXPECT_EQ(arrived.size(), 8u);
    for (const auto& line : arrived)
        EXPECT_EQ(Field(line, "port"), "sim-" + Field(line, "serial").substr(8)) << line;
    const auto lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(Field(lines.back(), "event"), "summary");
    EXPECT_EQ(Field(lines.back(), "ok"), "5");
    EXPECT_EQ(Field(lines.back(), "failed"), "3");

    // Progress at most at every tenth of the upload.
    std::map<std::string, int> progress;
    for (const auto& line : Events(run.out, "progress")) ++progress[Field(line, "serial")];
    for (const auto& [serial, count] : progress) EXPECT_LE(count, 10) << serial;
    EXPECT_GT(progress["VUMO-0001"], 0);

    // One log line per device, each naming the file as loaded and the device's outcome.
    const auto logLines = Lines(ReadAll(log));
    ASSERT_EQ(logLines.size(), 8u);
    const std::string sha = FileSha256(firmware_);
    std::map<std::string, std::string> logged;
    for (const auto& line : logLines) {
        EXPECT_EQ(Field(line, "sha256"), sha) << line;
        EXPECT_EQ(Field(line, "size"), "2000") << line;
        EXPECT_EQ(Field(line, "mode_at_start"), "update") << line;
        EXPECT_EQ(Field(line, "location"), "1") << line;
        EXPECT_NE(Field(line, "tool_version"), "<none>") << line;
        logged[Field(line, "serial")] = line;
    }
    for (const auto& [serial, line] : finished) {
        ASSERT_EQ(logged.count(serial), 1u) << serial;
        EXPECT_EQ(Field(logged[serial], "outcome"), Field(line, "outcome"));
        EXPECT_EQ(Field(logged[serial], "message"), Field(line, "message"));
        EXPECT_EQ(Field(logged[serial], "port"), Field(line, "port"));
    }

    // Another run appends; nothing that was there is rewritten.
    const auto again = Station({"station", firmware_, "--simulate=dfu,return-delay=5",
                                "--count", "1", "--log", log});
    EXPECT_EQ(again.exitCode, kExitOk) << again.err;
    const auto after = Lines(ReadAll(log));
    ASSERT_EQ(after.size(), 9u);
    EXPECT_TRUE(std::equal(logLines.begin(), logLines.end(), after.begin()));
}

TEST_F(StationCliTest, AllOkEndsWithStatusZeroAndTheSummaryLine) {
    const auto run = Station({"station", firmware_, "--simulate=dfu,devices=3,return-delay=5",
                              "--count", "3"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    // Not on a terminal: one plain line per event, the summary last.
    const auto lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "3 ok, 0 failed");
    for (const std::string serial : {"VUMO-0001", "VUMO-0002", "VUMO-0003"})
        EXPECT_NE(run.out.find(serial + " sim-" + serial.substr(8) + ": ok: 16 blocks in "),
                  std::string::npos)
            << run.out;

    // A failure is named in the summary with its message, and changes the status.
    const auto failed = Station({"station", firmware_,
                                 "--simulate=dfu,devices=2,return-delay=5,2@silent=IMAGE:3",
                                 "--count", "2", "--timeout", "0.3"});
    EXPECT_EQ(failed.exitCode, kExitStationFailed) << failed.err;
    const auto failedLines = Lines(failed.out);
    ASSERT_FALSE(failedLines.empty());
    EXPECT_EQ(failedLines.back(), "1 ok, 1 failed: VUMO-0002 (DFU upload time out : 3)");
}

TEST_F(StationCliTest, SerialAndCountChooseWhichAndHowManyDevices) {
    const auto chosen = Station({"station", firmware_, "--simulate=dfu,devices=4,return-delay=5",
                                 "--serial", "VUMO-0002", "--serial", "VUMO-0004", "--count",
                                 "2", "--json"});
    EXPECT_EQ(chosen.exitCode, kExitOk) << chosen.err;
    const auto finished = FinishedBySerial(chosen.out);
    ASSERT_EQ(finished.size(), 2u) << chosen.out;
    EXPECT_EQ(finished.count("VUMO-0002"), 1u);
    EXPECT_EQ(finished.count("VUMO-0004"), 1u);
    EXPECT_EQ(Events(chosen.out, "arrived").size(), 2u);

    // One at a time and two in all: the station ends after the second, the others untouched.
    const auto counted = Station({"station", firmware_, "--simulate=dfu,devices=4,return-delay=5",
                                  "--count", "2", "--max-parallel", "1", "--json"});
    EXPECT_EQ(counted.exitCode, kExitOk) << counted.err;
    EXPECT_EQ(Events(counted.out, "arrived").size(), 2u) << counted.out;
    EXPECT_EQ(Events(counted.out, "finished").size(), 2u) << counted.out;
    // With one place, the second device starts only after the first has finished.
    const auto lines = Lines(counted.out);
    int running = 0;
    for (const auto& line : lines) {
        const auto event = Field(line, "event");
        if (event == "arrived") ++running;
        if (event == "finished") --running;
        EXPECT_LE(running, 1) << counted.out;
    }
}

TEST_F(StationCliTest, TwoDevicesSharingASerialOnDifferentPortsAreBothFlashed) {
    const auto run = Station({"station", firmware_,
                              "--simulate=dfu,devices=2,return-delay=5,2@serial=VUMO-0001",
                              "--count", "2", "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    const auto finished = Events(run.out, "finished");
    ASSERT_EQ(finished.size(), 2u) << run.out;
    std::vector<std::string> ports;
    for (const auto& line : finished) {
        EXPECT_EQ(Field(line, "serial"), "VUMO-0001");
        EXPECT_EQ(Field(line, "outcome"), "ok") << line;
        ports.push_back(Field(line, "port"));
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{"sim-1", "sim-2"}));
}

TEST_F(StationCliTest, ASerialFlashedOkIsSkippedWhenItComesAgainUnlessAgain) {
    // A second device with the same serial arrives three seconds in, long after the first has
    // been flashed.
    const std::string simulate = "--simulate=dfu,serial=VUMO-0001,arrive=3,return-delay=5";
    {
        Child child(Args({"station", firmware_, simulate, "--json"}));
        ASSERT_TRUE(child.WaitForOut("\"event\": \"skipped\"", Clock::now() + 30s)) << child.out();
        child.Signal(SIGINT);
        EXPECT_EQ(child.Wait(Clock::now() + 30s), kExitOk) << child.err();
        const auto skipped = Events(child.out(), "skipped");
        ASSERT_GE(skipped.size(), 1u);
        EXPECT_EQ(Field(skipped[0], "message"), "VUMO-0001: already flashed in this run");
        EXPECT_EQ(Field(skipped[0], "port"), "sim-2");
        EXPECT_EQ(Events(child.out(), "finished").size(), 1u) << child.out();
    }
    const auto again = Station({"station", firmware_, simulate, "--again", "--count", "2", "--json"});
    EXPECT_EQ(again.exitCode, kExitOk) << again.err;
    EXPECT_EQ(Events(again.out, "skipped").size(), 0u) << again.out;
    EXPECT_EQ(Events(again.out, "finished").size(), 2u) << again.out;
}

TEST_F(StationCliTest, CtrlCLetsRunningDevicesFinishASecondStopsThem) {
    // 100 blocks: about two seconds of upload, time enough to be interrupted.
    const auto slow = MakeSample(12800, "slow.bin");
    const std::string simulate = "--simulate=dfu,devices=3,return-delay=5";
    {
        Child child(Args({"station", slow, simulate, "--json"}));
        ASSERT_TRUE(child.WaitForOut("\"event\": \"phase\"", Clock::now() + 30s)) << child.out();
        child.Signal(SIGINT);
        EXPECT_EQ(child.Wait(Clock::now() + 60s), kExitOk) << child.err();
        EXPECT_NE(child.err().find("Press Ctrl-C again to stop them."), std::string::npos)
            << child.err();
        const auto finished = Events(child.out(), "finished");
        EXPECT_EQ(finished.size(), Events(child.out(), "arrived").size());
        ASSERT_GE(finished.size(), 1u) << child.out();
        for (const auto& line : finished) EXPECT_EQ(Field(line, "outcome"), "ok") << line;
    }
    {
        Child child(Args({"station", slow, simulate, "--json"}));
        ASSERT_TRUE(child.WaitForOut("\"event\": \"progress\"", Clock::now() + 30s)) << child.out();
        child.Signal(SIGINT);
        ASSERT_TRUE(child.WaitForErr("Press Ctrl-C again", Clock::now() + 30s)) << child.err();
        child.Signal(SIGINT);
        EXPECT_EQ(child.Wait(Clock::now() + 60s), kExitInterrupted) << child.err();
        const auto finished = Events(child.out(), "finished");
        ASSERT_GE(finished.size(), 1u) << child.out();
        for (const auto& line : finished) EXPECT_EQ(Field(line, "outcome"), "interrupted") << line;
        const auto lines = Lines(child.out());
        EXPECT_EQ(Field(lines.back(), "event"), "summary");
    }
}

TEST_F(StationCliTest, StoppedBeforeAnyDeviceEndsAsInterrupted) {
    // No device matches: the station waits until it is stopped.
    Child child(Args({"-v", "station", firmware_, "--simulate=dfu", "--serial", "NONE"}));
    ASSERT_TRUE(child.WaitForErr("waiting for devices", Clock::now() + 30s)) << child.err();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(Clock::now() + 30s), kExitInterrupted) << child.err();
    EXPECT_EQ(Lines(child.out()).back(), "0 ok, 0 failed");
}

TEST_F(StationCliTest, NoDeviceIsTouchedWhenTheFileOrTheLogFails) {
    const auto badLog = Station({"station", firmware_, "--simulate=dfu", "--json", "--log",
                                 (dir_ / "no-such-dir" / "log").string()});
    EXPECT_EQ(badLog.exitCode, kExitFailure);
    EXPECT_NE(badLog.err.find("The flash log " + (dir_ / "no-such-dir" / "log").string() +
                              " can't be opened for appending"),
              std::string::npos)
        << badLog.err;
    EXPECT_TRUE(Events(badLog.out, "arrived").empty()) << badLog.out;

    std::ofstream(dir_ / "text.txt") << "not firmware\n";
    const auto refused = Station({"station", (dir_ / "text.txt").string(), "--simulate=dfu",
                                  "--json", "--log", (dir_ / "log").string()});
    EXPECT_EQ(refused.exitCode, kExitFile) << refused.err;
    EXPECT_TRUE(Events(refused.out, "arrived").empty()) << refused.out;
    EXPECT_EQ(ReadAll(dir_ / "log"), "");

    // The update command refuses the same way, before the device.
    const auto update = Station({"update", firmware_, "--simulate=dfu", "--log",
                                 (dir_ / "no-such-dir" / "log").string()});
    EXPECT_EQ(update.exitCode, kExitFailure);
    EXPECT_NE(update.err.find("the device was not touched"), std::string::npos) << update.err;
}

TEST_F(StationCliTest, UpdateWritesTheSameLogLine) {
    const auto log = (dir_ / "update.jsonl").string();
    const auto ok = Station({"update", firmware_, "--simulate=dfu,return-delay=5", "--log", log});
    EXPECT_EQ(ok.exitCode, kExitOk) << ok.err;
    const auto failed = Station({"update", firmware_, "--simulate=dfu,silent=IMAGE:2",
                                 "--timeout", "0.3", "--log", log});
    EXPECT_EQ(failed.exitCode, kExitDevice) << failed.err;
    const auto lines = Lines(ReadAll(log));
    ASSERT_EQ(lines.size(), 2u);
    const std::string sha = FileSha256(firmware_);
    EXPECT_EQ(Field(lines[0], "outcome"), "ok");
    EXPECT_EQ(Field(lines[0], "serial"), "VUMO-0001");
    EXPECT_EQ(Field(lines[0], "port"), "sim-1");
    EXPECT_EQ(Field(lines[0], "mode_at_start"), "update");
    EXPECT_EQ(Field(lines[0], "sha256"), sha);
    EXPECT_EQ(Field(lines[1], "outcome"), "failed");
    EXPECT_EQ(Field(lines[1], "step"), "block");
    EXPECT_EQ(Field(lines[1], "message"), "DFU upload time out : 2");
    EXPECT_EQ(Field(lines[1], "port"), "sim-1");
    EXPECT_EQ(Field(lines[1], "sha256"), sha);
}

// A log the disk can't take whole: the device whose record was cut short is not ok (the line
// traces each device), the run says so and ends with 10, and the next record, after that torn
// line and one torn by another writer before it, starts on a line of its own.
TEST_F(StationCliTest, ALogLineTheDiskCutsShortFailsTheDeviceAndTearsNoOtherLine) {
    const auto log = (dir_ / "full.jsonl").string();
    std::ofstream(log, std::ios::binary) << "{\"torn\": ";
    // A file-size limit stands in for the full disk; SIGXFSZ stays ignored in the child.
    const auto old = ::signal(SIGXFSZ, SIG_IGN);
    Child limited({"/usr/bin/prlimit", "--fsize=100", "--", VUMO_TEST_DFU, "station", firmware_,
                   "--simulate=dfu,return-delay=5", "--count", "1", "--json", "--log", log});
    const int limitedExit = limited.Wait(Clock::now() + 60s);
    ::signal(SIGXFSZ, old);
    EXPECT_EQ(limitedExit, kExitStationFailed) << limited.err();
    const auto finished = Events(limited.out(), "finished");
    ASSERT_EQ(finished.size(), 1u) << limited.out();
    EXPECT_EQ(Field(finished[0], "outcome"), "failed");
    EXPECT_EQ(Field(finished[0], "step"), "log");
    EXPECT_EQ(Field(finished[0], "flashed"), "ok");
    EXPECT_NE(Field(finished[0], "cause").find("could not be written (91 of "), std::string::npos)
        << finished[0];
    EXPECT_EQ(Field(Events(limited.out(), "summary").at(0), "failed"), "1");

    const auto run = Station({"station", firmware_, "--simulate=dfu,return-delay=5", "--count",
                              "1", "--log", log});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    const auto lines = Lines(ReadAll(log));
    ASSERT_EQ(lines.size(), 3u) << ReadAll(log);
    EXPECT_EQ(lines[0], "{\"torn\": ");
    EXPECT_EQ(lines[1].size(), 90u);
    EXPECT_EQ(Field(lines[2], "outcome"), "ok") << lines[2];
    EXPECT_EQ(lines[2].back(), '}');
}

// A collector that ends (`station --json | head -1`) or a session that closes drains the
// station as the first Ctrl-C does: the running device finishes and is logged, the station
// ends with its status, not killed by the signal.
TEST_F(StationCliTest, AClosedPipeOrTerminalDrainsTheStationAndSparesTheUpdate) {
    struct Case {
        const char* name;
        int signal;  // 0: only the outputs close
        const char* note;
    };
    for (const Case c : {Case{"closed pipe", 0, "Standard output was closed"},
                         Case{"hang-up", SIGHUP, "The terminal was closed"}}) {
        SCOPED_TRACE(c.name);
        const auto log = (dir_ / (std::string(c.name) + ".jsonl")).string();
        Child child(Args({"station", firmware_, "--simulate=dfu,devices=10,return-delay=5",
                          "--max-parallel", "1", "--count", "10", "--json", "--log", log}));
        ASSERT_TRUE(child.WaitForOut("\"event\": \"arrived\"", Clock::now() + 30s)) << child.err();
        if (c.signal != 0) {
            child.Signal(c.signal);
            ASSERT_TRUE(child.WaitForErr(c.note, Clock::now() + 30s)) << child.err();
        }
        child.CloseOutputs();
        EXPECT_EQ(child.Wait(Clock::now() + 60s), kExitOk);
        const auto lines = Lines(ReadAll(log));
        ASSERT_GE(lines.size(), 1u);
        EXPECT_LT(lines.size(), 10u);  // drained: not every device was taken
        for (const auto& line : lines) EXPECT_EQ(Field(line, "outcome"), "ok") << line;
    }

    // `update` goes on to its end and its log line when its outputs and terminal go away.
    const auto log = (dir_ / "update.jsonl").string();
    Child update(Args({"update", firmware_, "--simulate=dfu,return-delay=5", "--log", log}));
    ASSERT_TRUE(update.WaitForErr("uploading: block 1 ", Clock::now() + 30s)) << update.err();
    update.Signal(SIGHUP);
    update.CloseOutputs();
    EXPECT_EQ(update.Wait(Clock::now() + 60s), kExitOk);
    const auto lines = Lines(ReadAll(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Field(lines[0], "outcome"), "ok");
}

}  // namespace
}  // namespace vumo::cli
