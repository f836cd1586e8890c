// The measuring harness must itself be right: a wrong median, a miscounted thread or a child
// that is not reaped would make every figure of the results page wrong.

#include "child_process.h"
#include "image/image_file.h"
#include "proc_stats.h"
#include "report.h"
#include "sample_data.h"
#include "stats.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cmath>

namespace vumo::bench {
namespace {

using namespace std::chrono_literals;

TEST(Stats, MedianAndPercentile) {
    EXPECT_TRUE(std::isnan(Median({})));
    EXPECT_EQ(Median({5}), 5);
    EXPECT_EQ(Median({9, 1, 5}), 5);
    EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 99), 99);
    EXPECT_EQ(Percentile(hundred, 100), 100);
    EXPECT_EQ(Percentile(hundred, 1), 1);
    EXPECT_EQ(Percentile({7, 3}, 50), 3);
    EXPECT_TRUE(std::isnan(Percentile({1, 2}, 0)));
    EXPECT_EQ(Fixed(NAN, 2), "n/a");
    EXPECT_EQ(Fixed(1.0 / 3, 3), "0.333");
}

TEST(ProcStats, ParsesStatusAndDifferences) {
    const auto count = ParseSwitchCount(
        "Name:\tvumo\nvoluntary_ctxt_switches:\t12\nnonvoluntary_ctxt_switches:\t3\n");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->voluntary, 12u);
    EXPECT_EQ(count->involuntary, 3u);
    EXPECT_FALSE(ParseSwitchCount("voluntary_ctxt_switches:\t12\n"));

    const ThreadSwitches before = {{10, {5, 1}}, {11, {7, 0}}, {12, {1, 1}}};
    const ThreadSwitches after = {{10, {8, 1}}, {11, {7, 2}}, {13, {4, 0}}};
    const auto delta = Difference(before, after);
    EXPECT_EQ(delta.switches, 3u + 2u + 4u);  // 13 started in between: all of its switches
    EXPECT_EQ(delta.threads, 3);
    EXPECT_EQ(delta.started, 1);
    EXPECT_EQ(delta.ended, 1);

    const auto mine = ReadThreadSwitches(::getpid());
    EXPECT_TRUE(mine.contains(::getpid()));
}

TEST(ChildProcess, ExitStatusReportPipeAndTimeLimit) {
    std::string error;
    ChildOptions c;
    c.argv = {"/bin/sh", "-c", "echo main 42 >&3; echo painted 43 >&3; exit 3"};
    c.reportPipe = true;
    auto child = Child::Spawn(c, error);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(child->ReadReportLine(Clock::now() + 10s), "main 42");
    EXPECT_EQ(child->ReadReportLine(Clock::now() + 10s), "painted 43");
    EXPECT_EQ(child->ReadReportLine(Clock::now() + 10s), std::nullopt);  // the pipe's end
    const auto exit = child->Wait(Clock::now() + 10s);
    EXPECT_FALSE(exit.timedOut);
    ASSERT_TRUE(WIFEXITED(exit.status));
    EXPECT_EQ(WEXITSTATUS(exit.status), 3);
    EXPECT_FALSE(exit.succeeded());

    ChildOptions slow;
    slow.argv = {"/bin/sleep", "30"};
    auto sleeper = Child::Spawn(slow, error);
    ASSERT_TRUE(sleeper) << error;
    const auto killed = sleeper->Wait(Clock::now() + 100ms);
    EXPECT_TRUE(killed.timedOut);
    EXPECT_LT(killed.wall, 10s);

    ChildOptions missing;
    missing.argv = {"/nonexistent/program"};
    auto none = Child::Spawn(missing, error);
    // posix_spawn may fail at once or the child may exit 127; either way it is not a success.
    if (none) {
        EXPECT_FALSE(none->Wait(Clock::now() + 10s).succeeded());
    }
}

TEST(ChildProcess, StdinPipeEndIsSeenByTheChild) {
    std::string error;
    ChildOptions c;
    c.argv = {"/bin/cat"};
    c.stdinPipe = true;
    auto child = Child::Spawn(c, error);
    ASSERT_TRUE(child) << error;
    child->CloseStdin();
    const auto exit = child->Wait(Clock::now() + 10s);
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

TEST(SampleData, IntelHexDecodesToTheSameBytes) {
    const auto bytes = SampleImage(131'071);
    const std::string hex = IntelHex(bytes, 0x1A020000);
    const auto decoded = image::DecodeIntelHex(
        {reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size()}, 1 << 20);
    ASSERT_EQ(decoded.status, image::HexStatus::ok) << decoded.message;
    EXPECT_EQ(decoded.baseAddress, 0x1A020000u);
    EXPECT_EQ(decoded.bytes, bytes);
}

TEST(Report, VerdictsAndTable) {
    const auto measured = [](Figure f, double value, std::string text) {
        f.measured = value;
        f.measuredText = std::move(text);
        return f;
    };
    const Figure met = measured(Figure("a", "≤ 1", 1), 0.5, "0.5");
    const Figure missed = measured(Figure("b", "≤ 1", 1), 1.5, "1.5");
    const Figure context = measured(Figure("c | d"), 3, "3");
    Figure broken("e", "≤ 1", 1);
    broken.error = "child crashed";
    EXPECT_EQ(Judge(met, false), Verdict::met);
    EXPECT_EQ(Judge(missed, false), Verdict::missed);
    EXPECT_EQ(Judge(missed, true), Verdict::notJudged);
    EXPECT_EQ(Judge(context, false), Verdict::noTarget);
    EXPECT_EQ(Judge(broken, false), Verdict::notMeasured);

    Report r;
    r.command = "scripts/bench.sh";
    r.figures = {met, missed, context, broken};
    const std::string page = RenderMarkdown(r);
    EXPECT_NE(page.find("| b | ≤ 1 | 1.5 | **missed** |"), std::string::npos) << page;
    EXPECT_NE(page.find("| c \\| d |"), std::string::npos) << page;
    EXPECT_NE(page.find("— (child crashed)"), std::string::npos) << page;
}

TEST(Report, SectionsHaveTheirOwnTableBetweenTheFiguresAndTheMicroBenchmarks) {
    Figure fast("fast / standard", "≤ 0.1", 0.1);
    fast.measured = 0.2;
    fast.measuredText = "0.2";
    Report r;
    r.figures = {Figure("main")};
    r.sections = {{"Fast pacing", "Before.", {fast}, "After."}};
    r.micro = {{"BM_X", "1 ms", "1 ms", ""}};
    const std::string page = RenderMarkdown(r);
    const auto main = page.find("| main |");
    const auto title = page.find("\n## Fast pacing\n\nBefore.\n\n| Figure | Target |");
    const auto row = page.find("| fast / standard | ≤ 0.1 | 0.2 | **missed** |");
    const auto after = page.find("\nAfter.\n");
    const auto micro = page.find("## Micro-benchmarks");
    ASSERT_NE(title, std::string::npos) << page;
    EXPECT_LT(main, title);
    EXPECT_LT(title, row);
    EXPECT_LT(row, after);
    EXPECT_LT(after, micro);
}

}  // namespace
}  // namespace vumo::bench
