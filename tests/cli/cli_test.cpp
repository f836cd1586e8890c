// vumo-dfu run as a child process against its built-in simulated device: exit statuses, JSON,
// messages, and a clean stop on Ctrl-C. Uploads stay short; the update-mode path needs no
// mode switch, so these runs take well under a second each.

#include "cli/child_process.h"
#include "cli/exit_codes.h"
#include "cli/options.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

using test::Child;
using test::RunResult;

class CliTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vumo-cli-test-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        firmware_ = MakeSample({"--location", "1", "--size", "3000"}, "fw.bin");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string MakeSample(std::vector<std::string> options, const std::string& name) {
        std::vector<std::string> args{VUMO_TEST_SAMPLE_IMAGE};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back((dir_ / name).string());
        const auto run = test::Run(args, 10s);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return (dir_ / name).string();
    }

    RunResult Dfu(std::vector<std::string> args) {
        args.insert(args.begin(), test::DfuProgram(VUMO_TEST_DFU));
        return test::Run(std::move(args), 60s);
    }

    std::filesystem::path dir_;
    std::string firmware_;
};

TEST_F(CliTest, ListsTheSimulatedDevicesAsJson) {
    const auto run = Dfu({"list", "--simulate=dfu,devices=2", "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    EXPECT_NE(run.out.find("{\"mode\": \"update\", \"index\": 1, \"product\": \"Vumo Update "
                           "Loader\", \"serial\": \"VUMO-0002\""),
              std::string::npos)
        << run.out;
    const auto plain = Dfu({"list", "--simulate"});
    EXPECT_EQ(plain.exitCode, kExitOk);
    EXPECT_NE(plain.out.find("application 0  Vumo Device: VUMO-0001"), std::string::npos) << plain.out;
}

// A bench of powered hubs: `list` shows every device (the window's list stops at ten), `update`
// can choose the last of them, and a 65th simulated device is refused by name.
TEST_F(CliTest, ABenchOf64IsListedWholeAndA65thIsRefused) {
    const auto run = Dfu({"list", "--simulate=dfu,devices=64", "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    std::size_t listed = 0;
    for (auto at = run.out.find("\"mode\": \"update\""); at != std::string::npos;
         at = run.out.find("\"mode\": \"update\"", at + 1))
        ++listed;
    EXPECT_EQ(listed, 64u) << run.out;
    EXPECT_NE(run.out.find("\"index\": 63, \"product\": \"Vumo Update Loader\", \"serial\": "
                           "\"VUMO-0064\""),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "");

    const auto last = Dfu({"update", firmware_, "--simulate=dfu,devices=64", "--serial",
                           "VUMO-0064", "--pacing", "fast", "--json"});
    EXPECT_EQ(last.exitCode, kExitOk) << last.err;
    EXPECT_NE(last.out.find("\"serial\": \"VUMO-0064\""), std::string::npos) << last.out;

    const auto tooMany = Dfu({"list", "--simulate=devices=65"});
    EXPECT_EQ(tooMany.exitCode, kExitUsage);
    EXPECT_NE(tooMany.err.find("devices needs a device count from 1 to 64 (got \"devices=65\")"),
              std::string::npos)
        << tooMany.err;
    EXPECT_EQ(tooMany.out, "");
}

TEST_F(CliTest, UpdateInUpdateModeSucceedsWithJsonResult) {
    const auto run = Dfu({"update", firmware_, "--simulate=dfu", "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    // Location 1: the device was restarted and seen back in application mode.
    EXPECT_EQ(run.out, "{\"outcome\": \"ok\", \"serial\": \"VUMO-0001\", \"blocks\": 24, "
                       "\"location\": 1, \"step\": \"done\", "
                       "\"message\": \"Firmware uploaded.\\r\\nNow Rebooting.\", \"cause\": \"\", "
                       "\"restarted\": true}\n");
    // In JSON mode the completion text goes to stderr, so stdout stays one object.
    EXPECT_NE(run.err.find("Firmware uploaded.\r\nNow Rebooting."), std::string::npos);

    // Another location code: the upload completes, but no restart command is sent.
    const auto other = MakeSample({"--location", "2", "--size", "300"}, "loc2.bin");
    const auto kept = Dfu({"update", other, "--simulate=dfu", "--json"});
    EXPECT_EQ(kept.exitCode, kExitOk) << kept.err;
    EXPECT_NE(kept.out.find("\"outcome\": \"ok\""), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("\"restarted\": false}"), std::string::npos) << kept.out;

    // A failure restarts nothing.
    const auto failed =
        Dfu({"update", firmware_, "--simulate=dfu,silent=READY", "--timeout", "0.2", "--json"});
    EXPECT_EQ(failed.exitCode, kExitDevice);
    EXPECT_NE(failed.out.find("\"restarted\": false}"), std::string::npos) << failed.out;
}

TEST_F(CliTest, SharedOptionsWorkBeforeAndAfterTheCommand) {
    const auto before = Dfu({"--simulate=dfu,devices=2", "list"});
    const auto after = Dfu({"list", "--simulate=dfu,devices=2"});
    EXPECT_EQ(before.exitCode, kExitOk) << before.err;
    EXPECT_EQ(after.exitCode, kExitOk) << after.err;
    EXPECT_EQ(before.out, after.out);
    EXPECT_NE(before.out.find("update      1  Vumo Update Loader: VUMO-0002"), std::string::npos)
        << before.out;
    EXPECT_EQ(Dfu({"--simulate", "list"}).out, Dfu({"list", "--simulate"}).out);

    // A bare --simulate takes no value from the next word: FILE stays the file.
    const auto check = Dfu({"check", "--simulate", firmware_});
    EXPECT_EQ(check.exitCode, kExitOk) << check.err;
    const auto first = Dfu({"-v", "--simulate=dfu", "update", firmware_});
    EXPECT_EQ(first.exitCode, kExitOk) << first.err;
    EXPECT_NE(first.err.find("] handshake"), std::string::npos) << first.err;

    // The command's help names them; the program's help lists them.
    const auto help = Dfu({"list", "--help"});
    EXPECT_NE(help.out.find("--simulate[=OPTIONS]"), std::string::npos) << help.out;
    const auto main = Dfu({"--help"});
    EXPECT_NE(main.out.find("--simulate[=OPTIONS]"), std::string::npos) << main.out;
    EXPECT_NE(main.out.find("-v,--verbose"), std::string::npos) << main.out;
}

TEST_F(CliTest, VerboseShowsTimedStepsAndTheChecksumToolsRun) {
    const auto run = Dfu({"check", firmware_, "-v"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    // "[  0.012 s] checking the firmware file": seconds since the start, three decimals.
    const auto line = [&](const std::string& text) {
        const auto at = run.err.find("] " + text);
        if (at == std::string::npos || at < 10) return std::string();
        const auto start = run.err.rfind('[', at);
        return start == std::string::npos ? std::string() : run.err.substr(start, at - start + 1);
    };
    const std::string stamp = line("checking the firmware file");
    ASSERT_FALSE(stamp.empty()) << run.err;
    EXPECT_EQ(stamp.size(), std::string("[  0.012 s]").size()) << stamp;
    EXPECT_EQ(stamp.substr(stamp.size() - 3), " s]") << stamp;
    EXPECT_EQ(stamp[stamp.size() - 7], '.') << stamp;
    // The tool's command line as a shell takes it, and what the tool wrote.
    EXPECT_NE(run.err.find("checksum -d -v -p LPC1857 " + firmware_ + "\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("checksum tool output:\n    Adding 0x10008000\n"), std::string::npos)
        << run.err;

    // Without -v, none of it.
    const auto quiet = Dfu({"check", firmware_});
    EXPECT_EQ(quiet.err, "");
}

TEST_F(CliTest, CompletionTextOnStdout) {
    const auto run = Dfu({"update", firmware_, "--simulate=dfu"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    EXPECT_EQ(run.out, "Firmware uploaded.\r\nNow Rebooting.\n");
}

TEST_F(CliTest, TimeOutNamesTheBlockAndExitsWithTheDeviceStatus) {
    const auto run = Dfu({"update", firmware_, "--simulate=dfu,silent=IMAGE:2", "--timeout", "0.3",
                          "--json"});
    EXPECT_EQ(run.exitCode, kExitDevice);
    EXPECT_NE(run.out.find("\"outcome\": \"failed\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"step\": \"block\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"message\": \"DFU upload time out : 2\""), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("ERROR: DFU upload time out : 2"), std::string::npos) << run.err;
}

TEST_F(CliTest, ExitStatusesTellFailuresApart) {
    EXPECT_EQ(Dfu({"update", firmware_, "--simulate=devices=2"}).exitCode, kExitAmbiguous);
    EXPECT_EQ(Dfu({"update", firmware_, "--simulate=bogus"}).exitCode, kExitUsage);
    EXPECT_EQ(Dfu({"update", (dir_ / "missing.bin").string(), "--simulate"}).exitCode, kExitFile);
    EXPECT_EQ(Dfu({"update", firmware_, "--simulate", "--serial", "NOPE"}).exitCode, kExitNoDevice);
    EXPECT_EQ(Dfu({"update"}).exitCode, kExitUsage);

    const auto notFirmware = MakeSample({"--not-firmware"}, "nf.bin");
    const auto refused = Dfu({"update", notFirmware, "--simulate=dfu"});
    EXPECT_EQ(refused.exitCode, kExitFile);
    EXPECT_NE(refused.err.find("This is not Vumo firmware file"), std::string::npos) << refused.err;
}

TEST_F(CliTest, ChoosesAmongSeveralBySerialOrIndex) {
    auto run = Dfu({"update", firmware_, "--simulate=dfu,devices=3", "--serial", "VUMO-0003",
                    "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    EXPECT_NE(run.out.find("\"serial\": \"VUMO-0003\""), std::string::npos) << run.out;
    run = Dfu({"update", firmware_, "--simulate=dfu,devices=2", "--index", "1", "--json"});
    EXPECT_EQ(run.exitCode, kExitOk) << run.err;
    EXPECT_NE(run.out.find("\"serial\": \"VUMO-0002\""), std::string::npos) << run.out;
}

TEST_F(CliTest, CtrlCStopsCleanlyAndSaysHowToRecover) {
    const auto big = MakeSample({"--location", "1", "--size", "60000"}, "big.bin");
    Child child({test::DfuProgram(VUMO_TEST_DFU), "update", big, "--simulate=dfu"});
    ASSERT_TRUE(child.WaitForErr("uploading", Clock::now() + 20s)) << child.err();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(Clock::now() + 10s), kExitInterrupted);
    EXPECT_NE(child.err().find("The device stays in update mode; run the update again to recover "
                               "it."),
              std::string::npos)
        << child.err();
}

TEST_F(CliTest, CtrlCDuringTheFileCheckEndsTheToolAndTheCommandAtOnce) {
    // A checksum tool that ignores SIGTERM and would run for half a minute.
    const auto tool = dir_ / "slow-checksum";
    {
        std::ofstream script(tool);
        script << "#!/bin/sh\ntrap '' TERM\nsleep 30\n";
    }
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    ::setenv("VUMO_CHECKSUM_TOOL", tool.c_str(), 1);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{test::DfuProgram(VUMO_TEST_DFU), "update", firmware_,
                                   "--simulate=dfu"},
          std::vector<std::string>{test::DfuProgram(VUMO_TEST_DFU), "check", firmware_, "-v"}}) {
        SCOPED_TRACE(args[1]);
        Child child(args);
        ASSERT_TRUE(child.WaitForErr("checking the firmware file", Clock::now() + 10s))
            << child.err();
        child.Signal(SIGINT);
        // Well before the tool's own 30 s: the wait is bounded so a regression fails here.
        EXPECT_EQ(child.Wait(Clock::now() + 10s), kExitInterrupted) << child.err();
    }
    ::unsetenv("VUMO_CHECKSUM_TOOL");
}

TEST(JsonString, EscapesAndReplacesInvalidUtf8) {
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(JsonString("bad\xFF"), "\"bad\xEF\xBF\xBD\"");
    // A sequence cut off is one maximal subpart: one replacement.
    EXPECT_EQ(JsonString("cut\xE2\x82"), "\"cut\xEF\xBF\xBD\"");
    // Well-shaped but invalid: overlong, surrogate, beyond U+10FFFF, leads F5 and up.
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(JsonString("\xE0\x80\xAF"), "\"" + r + r + r + "\"");
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"" + r + r + r + "\"");
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");
    EXPECT_EQ(JsonString("\xF5\x80\x80\x80"), "\"" + r + r + r + r + "\"");
    // ESC, DEL and the C1 controls are escaped too, so JSON on a terminal is harmless.
    EXPECT_EQ(JsonString("\x1b[2J\x7F\xC2\x9B"), "\"\\u001b[2J\\u007f\\u009b\"");
}

}  // namespace
}  // namespace vumo::cli
