// `vumo-dfu update --pacing` as a user runs it, on the built-in simulated device: a loader that
// drops reports coming sooner than 5 ms after its previous reply is flashed with standard
// pacing, and fast pacing fails on it with the time-out, the hint to go back to standard
// pacing, and the device status.

#include "cli/exit_codes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct RunResult {
    int exitCode = -1;  // -1: still running at the deadline (then killed)
    std::string out;
    std::string err;
};

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `args` with stdout in a file and stderr on a pipe; the pipe's end tells that the program
// has ended, so the wait is bounded without polling the process.
RunResult RunProgram(std::vector<std::string> args, const std::filesystem::path& outFile,
              std::chrono::seconds limit) {
    RunResult run;
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(errPipe[0]);
        ADD_FAILURE() << "could not start " << args[0];
        return run;
    }
    const auto deadline = Clock::now() + limit;
    bool ended = false;
    while (!ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{errPipe[0], POLLIN, 0};
        if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[4096];
        const auto n = ::read(errPipe[0], buffer, sizeof buffer);
        if (n <= 0) ended = true;
        else run.err.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(errPipe[0]);
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (ended) run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = FileText(outFile);
    return run;
}

class PacingCliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-pacing-cli-test-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        // 24 blocks. Location code 2: the conversation ends at DFUEND's reply and no restart
        // follows, so the runs stay short and test only the pacing of the upload.
        const auto sample = RunProgram({VUMO_TEST_SAMPLE_IMAGE, "--location", "2", "--size", "3000",
                                 (dir_ / "fw.bin").string()},
                                dir_ / "sample.out", 10s);
        ASSERT_EQ(sample.exitCode, 0) << sample.err;
        firmware_ = (dir_ / "fw.bin").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    RunResult Dfu(std::vector<std::string> args) {
        args.insert(args.begin(), VUMO_TEST_DFU);
        return RunProgram(std::move(args), dir_ / "stdout", 60s);
    }

    std::filesystem::path dir_;
    std::string firmware_;
};

TEST_F(PacingCliTest, ALoaderThatNeedsTheGapsPassesStandardAndFailsFastWithTheHint) {
    const auto standard = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing",
                               "standard", "--timeout", "1"});
    EXPECT_EQ(standard.exitCode, kExitOk) << standard.err;
    EXPECT_NE(standard.out.find("Firmware uploaded."), std::string::npos) << standard.out;

    // The loader drops the LOCATION that follows READY's reply at once: its time-out, and
    // the line that says what to do about it.
    const auto fast = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing", "fast",
                           "--timeout", "1"});
    EXPECT_EQ(fast.exitCode, kExitDevice) << fast.err;
    EXPECT_NE(fast.err.find("ERROR: DFU Location time out\n"
                            "  cause: This update used fast pacing: try again with --pacing "
                            "standard.\n"),
              std::string::npos)
        << fast.err;

    // Scripts get the same hint as the cause.
    const auto json = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing", "fast",
                           "--timeout", "1", "--json"});
    EXPECT_EQ(json.exitCode, kExitDevice) << json.err;
    EXPECT_NE(json.out.find("\"step\": \"location\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"cause\": \"This update used fast pacing: try again with "
                            "--pacing standard.\""),
              std::string::npos)
        << json.out;
}

TEST_F(PacingCliTest, FastPacingFlashesADeviceThatCopes) {
    const auto run = Dfu({"update", firmware_, "--simulate=dfu,reply-delay=1", "--pacing", "fast"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    EXPECT_NE(run.out.find("Firmware uploaded."), std::string::npos) << run.out;
}

TEST_F(PacingCliTest, StandardPacingFailuresCarryNoHint) {
    // The hint is for fast pacing only: a loader that never answers under standard pacing
    // gets its time-out alone.
    const auto run = Dfu({"update", firmware_, "--simulate=dfu,silent=LOCAT", "--timeout",
                          "0.3"});
    EXPECT_EQ(run.exitCode, kExitDevice) << run.err;
    EXPECT_NE(run.err.find("DFU Location time out"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("--pacing"), std::string::npos) << run.err;
}

TEST_F(PacingCliTest, OnlyTheTwoPacingsAreTakenAndHelpSaysWhatFastChanges) {
    const auto bad = Dfu({"update", firmware_, "--simulate=dfu", "--pacing", "slow"});
    EXPECT_EQ(bad.exitCode, kExitUsage) << bad.err;
    EXPECT_NE(bad.err.find("--pacing"), std::string::npos) << bad.err;

    const auto help = Dfu({"update", "--help"});
    EXPECT_EQ(help.exitCode, kExitOk);
    EXPECT_NE(help.out.find("--pacing"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("READY?"), std::string::npos) << help.out;
}

}  // namespace
}  // namespace vumo::cli
