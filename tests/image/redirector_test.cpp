// The console tool runner with real children: small shell scripts that print nothing, print in
// bursts, flood the pipe, hang, crash, or are missing.

#include "base/wake_event.h"
#include "image/child_reaper.h"
#include "image/redirector.h"
#include "image/test_files.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <map>
#include <set>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace vumo::image {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kGenerous = 10s;  // a bound on every wait; the runs themselves take far less

class RedirectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // The reaper keeps one descriptor of its own for the life of the program.
        ChildReaper::Instance();
        fdsBefore_ = test::CountOpenDescriptors();
    }
    void TearDown() override {
        runner_.Close();
        EXPECT_TRUE(test::NoChildren()) << "a child was left unreaped";
        EXPECT_EQ(test::CountOpenDescriptors(), fdsBefore_) << "a descriptor leaked";
    }

    std::string Script(const std::string& body) {
        return test::WriteScript(dir_, "tool" + std::to_string(++scripts_), body);
    }
    // Runs to the end and returns the outcome.
    RunOutcome Run(const std::vector<std::string>& argv) {
        runner_.Close();
        runner_.ResetResults();
        EXPECT_TRUE(runner_.Open(argv)) << "errno " << runner_.LastError();
        EXPECT_TRUE(runner_.WaitUntilDone(kGenerous));
        return runner_.Outcome();
    }

    test::TempDir dir_;
    CRedirector runner_;
    int fdsBefore_ = 0;
    int scripts_ = 0;
};

TEST_F(RedirectorTest, ChildThatPrintsNothing) {
    EXPECT_EQ(Run({Script("exit 0")}), RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFinished());
    EXPECT_FALSE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0);
    EXPECT_EQ(runner_.OutputBytes(), 0u);
    ASSERT_TRUE(WIFEXITED(runner_.WaitStatus()));
    EXPECT_EQ(WEXITSTATUS(runner_.WaitStatus()), 0);
}

// The marks torn across bursts, and spread over standard output and standard error: the
// verdict is that of the whole output.
TEST_F(RedirectorTest, VerdictDoesNotDependOnHowTheOutputArrives) {
    const std::string tool = Script(
        "printf 'Adding 0x100'; sleep 0.05\n"
        "printf '08000\\nAdding 0x1a'; sleep 0.05\n"
        "printf '0' >&2; sleep 0.05\n"
        "printf '4ffff\\n'; sleep 0.05\n"
        "printf 'Checksum 0x12345678\\n' >&2\n");
    EXPECT_EQ(Run({tool}), RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFinished());
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0x02);
    EXPECT_EQ(runner_.Output(),
              "Adding 0x10008000\nAdding 0x1a04ffff\nChecksum 0x12345678\n");
}

TEST_F(RedirectorTest, MarkInAnEarlyBurstCountsAfterLaterOutput) {
    const std::string tool =
        Script("echo 'Adding 0x10008000'; sleep 0.1; echo 'Adding 0x1a02abcd'; sleep 0.1; "
               "echo done");
    EXPECT_EQ(Run({tool}), RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0x01);
}

TEST_F(RedirectorTest, NoLocationTextKeepsTheResetCode) {
    EXPECT_EQ(Run({Script("echo 'Adding 0x10008000'")}), RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0);
}

// Megabytes of output: the first MiB is kept, the rest drained, and the child is not blocked
// on a full pipe.
TEST_F(RedirectorTest, FloodIsDrainedAndCut) {
    const std::string tool = Script(
        "echo 'Adding 0x10008000'\n"
        "head -c 6000000 /dev/zero | tr '\\0' x\n"
        "echo 'Adding 0x1a02ffff'\n");
    runner_.SetTimeLimit(8s);
    EXPECT_EQ(Run({tool}), RunOutcome::ended);
    EXPECT_EQ(runner_.OutputBytes(), 18u + 6000000u + 18u);
    EXPECT_EQ(runner_.Output().size(), kMaxKeptOutput);
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0) << "the text beyond the first MiB is not examined";
}

TEST_F(RedirectorTest, HangingChildIsKilledAtTheTimeLimit) {
    runner_.SetTimeLimit(300ms);
    const auto start = Clock::now();
    EXPECT_EQ(Run({Script("echo 'Adding 0x10008000'; sleep 30")}), RunOutcome::timedOut);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_FALSE(runner_.IsFinished());
    EXPECT_FALSE(runner_.IsFirmwareFile()) << "a run that did not end gives no verdict";
}

// A grandchild that keeps the pipe open must not outlive the time-out: the whole process group
// of the tool goes.
TEST_F(RedirectorTest, TimeLimitEndsWhatTheToolStarted) {
    runner_.SetTimeLimit(300ms);
    const std::string pidFile = dir_.File("grandchild");
    const auto start = Clock::now();
    EXPECT_EQ(Run({Script("sleep 30 & echo $! > '" + pidFile + "'; sleep 30")}),
              RunOutcome::timedOut);
    EXPECT_LT(Clock::now() - start, 5s);

    const auto bytes = test::ReadBytes(pidFile);
    const std::string pid(bytes.begin(), bytes.end());
    ASSERT_FALSE(pid.empty());
    // SIGKILL has been sent; the grandchild is gone, or a zombie of whoever inherited it.
    const std::string stat = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
    const auto dead = [&stat] {
        const auto text = test::ReadBytes(stat);
        const std::string line(text.begin(), text.end());
        const std::size_t paren = line.rfind(')');
        return line.empty() || (paren != std::string::npos && line.size() > paren + 2 &&
                                line[paren + 2] == 'Z');
    };
    const auto until = Clock::now() + 3s;
    while (!dead() && Clock::now() < until) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(dead()) << stat;
}

// The tool's standard input stays open and empty: a tool that reads it waits for the limit.
TEST_F(RedirectorTest, StandardInputIsNeverClosedOrWritten) {
    runner_.SetTimeLimit(300ms);
    EXPECT_EQ(Run({Script("read line; echo \"got [$line]\"")}), RunOutcome::timedOut);
    EXPECT_EQ(runner_.Output(), "");
}

TEST_F(RedirectorTest, CrashingChildEndsTheRunWithItsOutput) {
    EXPECT_EQ(Run({Script("echo 'Adding 0x10008000'; echo 'Adding 0x1a06'; kill -SEGV $$")}),
              RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFinished());
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0x03);
    ASSERT_TRUE(WIFSIGNALED(runner_.WaitStatus()));
    EXPECT_EQ(WTERMSIG(runner_.WaitStatus()), SIGSEGV);
}

TEST_F(RedirectorTest, ChildThatEndsWithAnErrorStatus) {
    EXPECT_EQ(Run({Script("echo oops >&2; exit 3")}), RunOutcome::ended);
    EXPECT_EQ(runner_.Output(), "oops\n");
    ASSERT_TRUE(WIFEXITED(runner_.WaitStatus()));
    EXPECT_EQ(WEXITSTATUS(runner_.WaitStatus()), 3);
}

TEST_F(RedirectorTest, ProgramThatCannotBeStarted) {
    const std::string notExecutable = dir_.File("plain");
    test::WriteBytes(notExecutable, "#!/bin/sh\necho hi\n");
    const std::string noInterpreter = test::WriteScript(dir_, "broken", "");
    test::WriteBytes(noInterpreter, "#!/nonexistent/interpreter\n");

    for (const std::vector<std::string>& argv :
         std::vector<std::vector<std::string>>{{dir_.File("missing")},
                                               {notExecutable},
                                               {noInterpreter},
                                               {"sh", "-c", "true"},  // relative: refused
                                               {}}) {
        runner_.ResetResults();
        EXPECT_FALSE(runner_.Open(argv)) << (argv.empty() ? "(empty)" : argv[0]);
        EXPECT_NE(runner_.LastError(), 0);
        EXPECT_FALSE(runner_.IsFinished());
        EXPECT_EQ(runner_.Outcome(), RunOutcome::none);
        EXPECT_TRUE(runner_.WaitUntilDone(0ms)) << "nothing runs";
        EXPECT_TRUE(test::NoChildren());
        EXPECT_EQ(test::CountOpenDescriptors(), fdsBefore_);
    }
}

// Every argument arrives as it was given: no shell splits or expands anything.
TEST_F(RedirectorTest, ArgumentsReachTheChildUnchanged) {
    const std::string tool = Script("for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done");
    const std::string pwned = dir_.File("pwned");
    const std::vector<std::string> args = {
        "with blanks  and\ttab", "quote\"s and 'single'", "semi;colon; touch " + pwned,
        "$(touch " + pwned + ")", "`touch " + pwned + "`", "\xff\xfe latin-1 \xe9", "",
        "-v"};
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(Run(argv), RunOutcome::ended);
    std::string expected;
    for (const auto& a : args) expected += "[" + a + "]\n";
    EXPECT_EQ(runner_.Output(), expected);
    EXPECT_FALSE(std::filesystem::exists(pwned));
}

// The child holds its three standard descriptors - stdin one pipe, stdout and stderr another -
// and none of the runner's own. (Whatever this test program itself inherited without
// close-on-exec passes on too; that is not the runner's.)
TEST_F(RedirectorTest, ChildInheritsOnlyItsStandardDescriptors) {
    std::set<int> inheritable;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd > 2 && flags >= 0 && !(flags & FD_CLOEXEC)) inheritable.insert(fd);
    }

    EXPECT_EQ(Run({"/bin/ls", "-l", "/proc/self/fd/"}), RunOutcome::ended);
    const std::string& out = runner_.Output();
    std::map<int, std::string> targets;
    for (std::size_t pos = 0; (pos = out.find(" -> ", pos)) != std::string::npos; pos += 4) {
        const std::size_t nameStart = out.rfind(' ', pos - 1) + 1;
        const std::size_t lineEnd = out.find('\n', pos);
        targets[std::stoi(out.substr(nameStart, pos - nameStart))] =
            out.substr(pos + 4, lineEnd - pos - 4);
    }
    ASSERT_TRUE(targets.count(0) && targets.count(1) && targets.count(2)) << out;
    EXPECT_EQ(targets[0].rfind("pipe:", 0), 0u) << out;
    EXPECT_EQ(targets[1].rfind("pipe:", 0), 0u) << out;
    EXPECT_EQ(targets[1], targets[2]) << out;
    EXPECT_NE(targets[0], targets[1]) << out;
    int listed = 0;  // the folder ls opened to list them
    for (const auto& [fd, target] : targets) {
        if (fd <= 2 || inheritable.count(fd)) continue;
        EXPECT_EQ(target.rfind("/proc/", 0), 0u) << "descriptor " << fd << " leaked:\n" << out;
        ++listed;
    }
    EXPECT_EQ(listed, 1) << out;
}

TEST_F(RedirectorTest, CloseDuringARunStopsItAndEndsTheChild) {
    runner_.SetTimeLimit(60s);
    ASSERT_TRUE(runner_.Open({Script("echo 'Adding 0x10008000'; sleep 30")}));
    EXPECT_FALSE(runner_.WaitUntilDone(100ms));
    const auto start = Clock::now();
    runner_.Close();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(runner_.Outcome(), RunOutcome::stopped);
    EXPECT_FALSE(runner_.IsFinished());
    EXPECT_TRUE(test::NoChildren());
}

// Close from two threads at once, during a run and after it: each descriptor is released once
// (TearDown counts them) and both calls return.
TEST_F(RedirectorTest, OverlappingCloseCalls) {
    for (const char* body : {"sleep 30", "exit 0"}) {
        ASSERT_TRUE(runner_.Open({Script(body)}));
        if (std::string(body) == "exit 0") {
            ASSERT_TRUE(runner_.WaitUntilDone(kGenerous));
        }
        std::thread other([this] { runner_.Close(); });
        runner_.Close();
        other.join();
        runner_.Close();  // idle: nothing to do
        EXPECT_TRUE(test::NoChildren());
        EXPECT_EQ(test::CountOpenDescriptors(), fdsBefore_);
    }
}

TEST_F(RedirectorTest, ResultsStayAfterCloseAndClearOnReset) {
    EXPECT_EQ(Run({Script("echo 'Adding 0x10008000 Adding 0x1a04'")}), RunOutcome::ended);
    runner_.Close();
    EXPECT_TRUE(runner_.IsFinished());
    EXPECT_TRUE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0x02);
    runner_.ResetResults();
    EXPECT_FALSE(runner_.IsFinished());
    EXPECT_FALSE(runner_.IsFirmwareFile());
    EXPECT_EQ(runner_.GetLocation(), 0);
    EXPECT_EQ(runner_.Outcome(), RunOutcome::none);
}

TEST_F(RedirectorTest, RunsOneAfterAnother) {
    const std::string yes = Script("echo 'Adding 0x10008000'; echo 'Adding 0x1a06'");
    const std::string no = Script("echo 'Adding 0x20008000'");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Run({yes}), RunOutcome::ended);
        EXPECT_TRUE(runner_.IsFirmwareFile());
        EXPECT_EQ(runner_.GetLocation(), 0x03);
        EXPECT_EQ(Run({no}), RunOutcome::ended);
        EXPECT_FALSE(runner_.IsFirmwareFile());
        EXPECT_EQ(runner_.GetLocation(), 0);
    }
}

// The owner's descriptor (a signalfd in the command line) ends a run at once, however long the
// tool would still take and whatever signals it ignores; it is only polled, never read.
TEST_F(RedirectorTest, CancelDescriptorEndsTheRunAndTheChildAtOnce) {
    runner_.SetTimeLimit(60s);  // a run that is not cancelled outlasts every wait below
    base::WakeEvent cancel;
    ASSERT_TRUE(cancel.valid());
    ASSERT_TRUE(runner_.Open(
        {Script("trap '' TERM INT HUP; echo 'Adding 0x10008000'; sleep 30; sleep 30")},
        cancel.waitable()));
    ASSERT_GT(runner_.ChildPid(), 0);
    cancel.signal();
    ASSERT_TRUE(runner_.WaitUntilDone(kGenerous));
    EXPECT_EQ(runner_.Outcome(), RunOutcome::cancelled);
    EXPECT_FALSE(runner_.IsFinished()) << "a cancelled run gives no verdict";
    ASSERT_NE(runner_.WaitStatus(), -1) << "the child was reaped before the run ended";
    EXPECT_TRUE(WIFSIGNALED(runner_.WaitStatus()));
    EXPECT_EQ(WTERMSIG(runner_.WaitStatus()), SIGKILL);

    EXPECT_TRUE(cancel.isSet()) << "the owner still sees the request";
}

// A descriptor that is not open never cancels, and never makes the reader spin.
TEST_F(RedirectorTest, CancelDescriptorThatIsNotOpenIsIgnored) {
    // High enough that none of the runner's own descriptors takes the number meanwhile.
    constexpr int closed = 1000;
    ASSERT_EQ(::fcntl(closed, F_GETFD), -1);
    ASSERT_TRUE(runner_.Open({Script("sleep 0.2; echo 'Adding 0x10008000'")},
                             base::Waitable::FromNative(closed)));
    ASSERT_TRUE(runner_.WaitUntilDone(kGenerous));
    EXPECT_EQ(runner_.Outcome(), RunOutcome::ended);
    EXPECT_TRUE(runner_.IsFirmwareFile());
}

// A child that SIGKILL does not end within the grace (one stuck in the kernel) stands here as
// one whose kill is held back. The run still ends after the grace; the child is reaped once it
// does end, and no zombie is left.
TEST_F(RedirectorTest, KilledChildThatDoesNotEndInTimeIsReapedWhenItDoes) {
    for (const bool byCancel : {false, true}) {
        SCOPED_TRACE(byCancel ? "cancelled" : "timed out");
        pid_t held = -1;
        runner_.SetKiller([&held](pid_t child) { held = child; });
        runner_.SetKillGrace(50ms);
        runner_.SetTimeLimit(byCancel ? 60s : 200ms);
        base::WakeEvent cancel;
        ASSERT_TRUE(runner_.Open({Script("exec sleep 30")}, cancel.waitable()));
        if (byCancel) cancel.signal();
        ASSERT_TRUE(runner_.WaitUntilDone(kGenerous));
        EXPECT_EQ(runner_.Outcome(), byCancel ? RunOutcome::cancelled : RunOutcome::timedOut);
        runner_.Close();
        ASSERT_GT(held, 0) << "the runner tried to kill it";
        EXPECT_EQ(::kill(held, 0), 0) << "still running: it was not killed";
        EXPECT_GE(ChildReaper::Instance().Pending(), 1u);

        // Now it ends, long after its runner gave up waiting.
        ASSERT_EQ(::kill(held, SIGKILL), 0);
        EXPECT_TRUE(ChildReaper::Instance().WaitUntilIdle(kGenerous));
        EXPECT_TRUE(test::NoChildren()) << "left as a zombie";
        runner_.SetKiller({});
        runner_.SetKillGrace(kKillGrace);
    }
}

TEST_F(RedirectorTest, DestroyingARunningRunnerEndsTheChild) {
    {
        CRedirector local;
        ASSERT_TRUE(local.Open({Script("sleep 30")}));
    }
    EXPECT_TRUE(test::NoChildren());
}

}  // namespace
}  // namespace vumo::image
