// vumo-dfu replaying the recordings in tests/recordings: each ends as the recorded run did, a
// fresh recording replays with the same messages, and a changed image or a changed
// conversation is caught at the first differing event.

#include "cli/exit_codes.h"
#include "recording/recording.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace vumo::cli {
namespace {

namespace fs = std::filesystem;

struct RunOutput {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Scenario {
    std::string name;
    int exitCode = 0;
    std::string text;
    std::vector<std::string> args;
};

std::vector<Scenario> Scenarios() {
    std::ifstream in(fs::path(VUMO_RECORDINGS_DIR) / "scenarios.tsv");
    std::vector<Scenario> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream s(line);
        std::string f;
        while (std::getline(s, f, '\t')) fields.push_back(f);
        if (fields.size() != 4) continue;
        Scenario sc{fields[0], std::stoi(fields[1]), fields[2], {}};
        std::stringstream words(fields[3]);
        while (words >> f) sc.args.push_back(f);
        out.push_back(std::move(sc));
    }
    return out;
}

class RecordingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vumo-recordings-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs vumo-dfu with `args`; gives up (and fails) after two minutes.
    RunOutput Dfu(std::vector<std::string> args) {
        args.insert(args.begin(), VUMO_TEST_DFU);
        return Program(std::move(args));
    }
    RunOutput Program(std::vector<std::string> args) {
        const auto out = (dir_ / "stdout").string();
        const auto err = (dir_ / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        RunOutput run;
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        pollfd p{pidfd, POLLIN, 0};
        if (pidfd < 0 || ::poll(&p, 1, 120'000) != 1) {
            ADD_FAILURE() << "vumo-dfu did not end within two minutes";
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (pidfd >= 0) ::close(pidfd);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }

    // The scenario's command line with FW the checked-in image and --simulate replaced.
    static std::vector<std::string> Args(const Scenario& s, const std::vector<std::string>& bus,
                                         const std::string& firmware = Firmware()) {
        std::vector<std::string> args;
        for (const auto& a : s.args) {
            if (a == "FW") args.push_back(firmware);
            else if (a.rfind("--simulate", 0) == 0) args.insert(args.end(), bus.begin(), bus.end());
            else args.push_back(a);
        }
        return args;
    }
    static std::string Firmware() {
        return (fs::path(VUMO_RECORDINGS_DIR) / "firmware.bin").string();
    }
    static std::string RecordingOf(const std::string& name) {
        return (fs::path(VUMO_RECORDINGS_DIR) / (name + ".jsonl")).string();
    }
    static Scenario Named(const std::string& name) {
        for (auto& s : Scenarios())
            if (s.name == name) return s;
        ADD_FAILURE() << "no scenario " << name;
        return {};
    }

    fs::path dir_;
};

TEST_F(RecordingsTest, EveryRecordingReplaysToTheRecordedEnd) {
    const auto scenarios = Scenarios();
    ASSERT_GE(scenarios.size(), 10u);
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        recording::Recording rec;
        std::string error;
        ASSERT_TRUE(recording::LoadRecording(RecordingOf(s.name), rec, error)) << error;
        ASSERT_FALSE(rec.events.empty());
        ASSERT_EQ(rec.events.back().kind, recording::EventKind::end);
        EXPECT_EQ(rec.events.back().exitCode, s.exitCode);

        // With no delays at all the device is back from its mode switch before the engine
        // could have seen it leave: the engine must take that too.
        const auto run = Dfu(Args(s, {"--replay", RecordingOf(s.name), "--replay-speed", "0"}));
        EXPECT_EQ(run.exitCode, s.exitCode) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(s.text), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.err.find("replay"), std::string::npos) << run.err;
    }
}

TEST_F(RecordingsTest, AFreshRecordingReplaysWithTheSameMessages) {
    for (const std::string name :
         {"update-from-dfu", "timeout-size", "timeout-block", "unplug-mid-upload", "list-two"}) {
        SCOPED_TRACE(name);
        const auto s = Named(name);
        const auto file = (dir_ / (name + ".jsonl")).string();
        auto recordArgs = Args(s, {});
        for (const auto& a : s.args)
            if (a.rfind("--simulate", 0) == 0) recordArgs.push_back(a);
        recordArgs.insert(recordArgs.end(), {"--record", file});
        const auto recorded = Dfu(recordArgs);
        const auto replayed = Dfu(Args(s, {"--replay", file, "--replay-speed", "0"}));
        EXPECT_EQ(recorded.exitCode, s.exitCode);
        EXPECT_EQ(replayed.exitCode, recorded.exitCode);
        EXPECT_EQ(replayed.out, recorded.out);
        EXPECT_EQ(replayed.err, recorded.err);
    }
}

TEST_F(RecordingsTest, AChangedImageIsCaughtAtItsFirstDifferentReport) {
    const auto s = Named("update-from-dfu");
    // One byte more: the SIZE command counts one block more (25 instead of 24).
    auto bytes = ReadFile(Firmware());
    bytes.resize(bytes.size() + 128, '\0');
    const auto changed = (dir_ / "changed.bin").string();
    std::ofstream(changed, std::ios::binary) << bytes;
    const auto run = Dfu(Args(s, {"--replay", RecordingOf(s.name), "--replay-speed=0"}, changed));
    EXPECT_EQ(run.exitCode, kExitReplay) << run.err;
    EXPECT_NE(run.err.find("differs"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("expected: sim:hidraw0: 00 53 49 5a 45 18"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("actual:   sim:hidraw0: 00 53 49 5a 45 19"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Firmware uploaded."), std::string::npos);
}

TEST_F(RecordingsTest, AChangedConversationIsCaughtAtTheFirstDifferentEvent) {
    // The recording of another behaviour: block 3 went out with one byte changed. The program
    // as it is now sends the original, and the replay names exactly that event.
    const auto s = Named("update-from-dfu");
    std::istringstream in(ReadFile(RecordingOf(s.name)));
    std::string line, text;
    int lineNumber = 0, writes = 0, changedLine = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.find("\"e\":\"write\"") != std::string::npos && ++writes == 8) {
            const auto at = line.find("\"data\":\"") + 8 + 20;  // byte 10 of the report
            line[at] = line[at] == 'f' ? '0' : 'f';
            changedLine = lineNumber;
        }
        text += line + "\n";
    }
    ASSERT_NE(changedLine, 0);
    const auto file = (dir_ / "other.jsonl").string();
    std::ofstream(file, std::ios::binary) << text;
    const auto run = Dfu(Args(s, {"--replay", file, "--replay-speed=0"}));
    EXPECT_EQ(run.exitCode, kExitReplay) << run.err;
    EXPECT_NE(run.err.find("event " + std::to_string(changedLine - 1) + " (line " +
                           std::to_string(changedLine) + " of " + file + ") differs"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("first difference at byte 10"), std::string::npos) << run.err;
}

TEST_F(RecordingsTest, ABadRecordingIsRefusedWithOneLineAndReplayExcludesSimulate) {
    const auto file = (dir_ / "bad.jsonl").string();
    auto text = ReadFile(RecordingOf("list-two"));
    text.resize(text.size() - 5);  // cut inside the last line
    std::ofstream(file, std::ios::binary) << text;
    const auto run = Dfu({"list", "--replay", file});
    EXPECT_EQ(run.exitCode, kExitReplay);
    EXPECT_NE(run.err.find("is truncated"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(": line "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

    EXPECT_EQ(Dfu({"list", "--replay", file, "--simulate"}).exitCode, kExitUsage);
}

// A recording is outside text: its event names, paths and file name reach the terminal only
// escaped, whichever program shows them and whether it accepts the recording or not.
TEST_F(RecordingsTest, RecordingTextReachesTheTerminalEscaped) {
    const std::string osc = "\x1b]0;OWNED\x07";
    const auto hostile = [](std::string text) {
        for (std::size_t at = 0; (at = text.find("sim:hidraw", at)) != std::string::npos;) {
            text.replace(at, 4, "sim:\\u001b]0;OWNED\\u0007");
            at += 20;
        }
        return text;
    };
    // An unknown event named by an escape sequence, in a file whose name holds one.
    const auto badEvent = (dir_ / ("bad" + osc + ".jsonl")).string();
    {
        std::istringstream in(ReadFile(RecordingOf("list-two")));
        std::string first;
        std::getline(in, first);
        std::ofstream(badEvent, std::ios::binary)
            << first << "\n{\"t\":0.1,\"e\":\"\\u001b]0;OWNED\\u0007\"}\n";
    }
    // A device whose node is named by one: listed, and quoted when a changed image diverges.
    const auto badPath = (dir_ / ("path" + osc + ".jsonl")).string();
    std::ofstream(badPath, std::ios::binary) << hostile(ReadFile(RecordingOf("station-three")));
    const auto badList = (dir_ / "list.jsonl").string();
    std::ofstream(badList, std::ios::binary) << hostile(ReadFile(RecordingOf("list-two")));
    auto bytes = ReadFile(Firmware());
    bytes.resize(bytes.size() + 128, '\0');
    const auto changed = (dir_ / "changed.bin").string();
    std::ofstream(changed, std::ios::binary) << bytes;

    struct Case {
        std::vector<std::string> args;
        std::string shown;  // escaped, as it must appear
    };
    const std::vector<Case> cases = {
        {{VUMO_TEST_DFU, "list", "--replay", badEvent}, "unknown event \"\\x1b]0;OWNED\\x07\""},
        {{VUMO_TEST_DFU, "station", Firmware(), "--replay", badEvent}, "bad\\x1b]0;OWNED\\x07"},
        {{VUMO_TEST_DFU, "list", "--replay", badList}, "sim:\\x1b]0;OWNED\\x07hidraw0"},
        {{VUMO_TEST_DFU, "station", changed, "--replay", badPath, "--replay-speed=0", "--count",
          "3", "--max-parallel", "1"},
         "expected: sim:\\x1b]0;OWNED\\x07hidraw"},
        {{VUMO_TEST_SIM, "--replay", badEvent}, "unknown event \"\\x1b]0;OWNED\\x07\""},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        std::vector<std::string> args(c.args.begin() + 1, c.args.end());
        const auto run = c.args[0] == VUMO_TEST_DFU ? Dfu(args) : Program(c.args);
        const std::string all = run.out + run.err;
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_NE(all.find(c.shown), std::string::npos) << all;
        EXPECT_EQ(all.find_first_of("\x1b\x07"), std::string::npos) << all;
    }
}

TEST_F(RecordingsTest, TraceShowsEveryReportWithDirectionLengthAndHex) {
    const auto run = Dfu({"update", Firmware(), "--replay", RecordingOf("timeout-ready"),
                          "--replay-speed=0", "--timeout", "0.3", "--trace-reports"});
    EXPECT_EQ(run.exitCode, kExitDevice);
    EXPECT_NE(run.err.find(" ms  out 133  00 52 45 41 44 59 3f 00 00"), std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace vumo::cli
