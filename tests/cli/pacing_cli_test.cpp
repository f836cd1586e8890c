// `vumo-dfu update --pacing` as a user runs it, on the built-in simulated device: a loader that
// drops reports coming sooner than 5 ms after its previous reply is flashed with standard
// pacing, and fast pacing fails on it with the time-out, the hint to go back to standard
// pacing, and the device status.

#include "cli/child_process.h"
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
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::RunResult;

class PacingCliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-pacing-cli-test-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        // 24 blocks. Location code 2: the conversation ends at DFUEND's reply and no restart
        // follows, so the runs stay short and test only the pacing of the upload.
        const auto sample = test::Run({VUMO_TEST_SAMPLE_IMAGE, "--location", "2", "--size", "3000",
                                       (dir_ / "fw.bin").string()},
                                      10s);
        ASSERT_EQ(sample.exitCode, 0) << sample.err;
        firmware_ = (dir_ / "fw.bin").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    RunResult Dfu(std::vector<std::string> args) {
        args.insert(args.begin(), test::DfuProgram(VUMO_TEST_DFU));
        return test::Run(std::move(args), 60s);
    }

    std::filesystem::path dir_;
    std::string firmware_;
};

TEST_F(PacingCliTest, ALoaderThatNeedsTheGapsPassesStandardAndFailsFastWithTheHint) {
    const auto standard = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing",
                               "standard", "--timeout", "1"});
    EXPECT_EQ(standard.exitCode, kExitOk) << standard.err;
    EXPECT_NE(standard.out.find("Firmware uploaded."), std::string::npos) << standard.out;

    // The loader drops a command that follows its reply to the one before at once: usually the
    // LOCATION after READY, or, when the machine is slow to send it, the next one. Its time-out,
    // and the line that says what to do about it.
    const auto fast = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing", "fast",
                           "--timeout", "1"});
    EXPECT_EQ(fast.exitCode, kExitDevice) << fast.err;
    const std::regex timedOut(
        "ERROR: DFU (Location|Size|start|upload) time out[^\n]*\n"
        "  cause: This update used fast pacing: try again with --pacing standard\\.\n");
    EXPECT_TRUE(std::regex_search(fast.err, timedOut)) << fast.err;

    // Scripts get the same hint as the cause.
    const auto json = Dfu({"update", firmware_, "--simulate=dfu,min-gap=5", "--pacing", "fast",
                           "--timeout", "1", "--json"});
    EXPECT_EQ(json.exitCode, kExitDevice) << json.err;
    EXPECT_TRUE(std::regex_search(json.out,
                                  std::regex("\"step\": \"(location|size|start|block)\"")))
        << json.out;
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
