#include "pacing.h"

#include "in_process.h"
#include "sample_data.h"
#include "stats.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace vumo::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kFullImageBytes = 131'071;        // 1024 blocks
constexpr std::size_t kShortImageBytes = 16 * 128 - 1;  // 16 blocks
constexpr double kReplyDelayMs = 1;
constexpr double kReturnSeconds = 1;
// READY, LOCAT, SIZE, START and END: the turns besides the blocks'.
constexpr int kCommandTurns = 5;

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

struct InProcess {
    std::string error;
    TurnTimings turns;
    double elapsed = kNaN;  // seconds, median over the runs
    double cpu = kNaN;      // seconds of this process per update (host and emulated device)
    double voluntary = kNaN;
};

// Fast updates in this process on the timed bus, the device answering after 1 ms: the turns of
// the conversation and what it costs without a process start or the checksum tool.
InProcess RunInProcess(std::size_t imageBytes, int runs) {
    InProcess out;
    const auto bytes = SampleImage(imageBytes);
    std::vector<double> elapsed, cpu, voluntary;
    for (int i = 0; i < runs; ++i) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto run = RunCountedUpdate(false, bytes, &out.turns,
                                          std::chrono::milliseconds(1), update::Pacing::fast);
        ::getrusage(RUSAGE_SELF, &after);
        if (!run.ok) {
            out.error = "in-process fast update: " + run.error;
            return out;
        }
        if (run.pauses.count() != 0) {
            out.error = "in-process fast update: the procedure asked for pauses of " +
                        std::to_string(run.pauses.count()) + " ms";
            return out;
        }
        elapsed.push_back(std::chrono::duration<double>(run.elapsed).count());
        cpu.push_back(Seconds(after.ru_utime) - Seconds(before.ru_utime) +
                      Seconds(after.ru_stime) - Seconds(before.ru_stime));
        voluntary.push_back(static_cast<double>(after.ru_nvcsw - before.ru_nvcsw));
    }
    out.elapsed = Median(elapsed);
    out.cpu = Median(cpu);
    out.voluntary = Median(voluntary);
    return out;
}

std::vector<UpdateRun> Runs(const Programs& programs, int runs, const char* what,
                            const std::string& image, const std::string& simulate,
                            const char* pacing) {
    std::vector<UpdateRun> out;
    for (int i = 0; i < runs; ++i) {
        std::fprintf(stderr, "vumo-bench: %s, run %d of %d\n", what, i + 1, runs);
        out.push_back(RunUpdate(programs, image, simulate, {"--pacing", pacing}));
        if (!out.back().error.empty()) break;
    }
    return out;
}

std::string FirstError(const std::vector<UpdateRun>& runs) {
    for (const auto& r : runs)
        if (!r.error.empty()) return r.error;
    return {};
}

template <class F>
double MedianOf(const std::vector<UpdateRun>& runs, F value) {
    std::vector<double> values;
    for (const auto& r : runs) values.push_back(value(r));
    return Median(values);
}

std::map<std::string, std::string> ReadVmFigures(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
    }
    return values;
}

double Number(const std::map<std::string, std::string>& values, const std::string& name) {
    const auto it = values.find(name);
    if (it == values.end()) return kNaN;
    try {
        return std::stod(it->second);
    } catch (...) {
        return kNaN;
    }
}

void VmFigure(const PacingSetup& setup, Figure& figure) {
    figure.how = "`tests/vm` scenario `pacing` (`scripts/vm-test.sh pacing`, also under "
                 "`ctest -L vm`): Debian's kernel in qemu (TCG, one virtual processor), "
                 "`vumo-dfu-sim dfu` on `/dev/uhid` (answering at once), `vumo-dfu update` of a "
                 "1024-block image "
                 "through hidraw, once with `--pacing standard` and once with `--pacing fast`, "
                 "one after the other in the same boot; wall time from the guest's clock "
                 "around each run; the figures file comes from `vm-test.sh --figures FILE`, "
                 "given to vumo-bench with `--vm-figures FILE`";
    if (setup.vmFigures.empty()) {
        figure.error = "not run here: run scripts/vm-test.sh --figures FILE pacing, then "
                       "vumo-bench --vm-figures FILE";
        figure.skipped = true;
        return;
    }
    const auto values = ReadVmFigures(setup.vmFigures);
    const double standard = Number(values, "pacing_standard_s");
    const double fast = Number(values, "pacing_fast_s");
    if (std::isnan(standard) || std::isnan(fast) || !(standard > 0)) {
        figure.error = setup.vmFigures + " holds no pacing_standard_s and pacing_fast_s";
        return;
    }
    figure.measured = fast / standard;
    figure.measuredText = Fixed(figure.measured, 3) + " (" + Fixed(fast, 2) + " s / " +
                          Fixed(standard, 2) + " s";
    if (const auto it = values.find("kernel"); it != values.end())
        figure.measuredText += "; " + it->second;
    if (const auto it = values.find("date"); it != values.end())
        figure.measuredText += ", taken " + it->second;
    figure.measuredText += ")";
}

}  // namespace

Section PacingSection(const PacingSetup& setup, const Programs& programs, bool& failed) {
    const std::size_t imageBytes = setup.shortMode ? kShortImageBytes : kFullImageBytes;
    const std::string blocksText = std::to_string(imageBytes / 128 + 1) + "-block";
    const std::string runsText =
        std::to_string(setup.runs) + (setup.runs == 1 ? " run" : " runs");

    Section section;
    section.title = "Fast pacing";
    section.intro =
        "`--pacing fast` leaves out every fixed pause: each report follows the device's answer "
        "to the one before, and after the device's return it is asked `READY?` every 250 ms "
        "instead of being left alone for ten seconds. Every reply wait keeps its limit. The "
        "figures below hold it against the floor of such a conversation (the device's own "
        "time to answer plus our turn from its reply to the next report) and against standard "
        "pacing, all in one run. The images have location code 2, "
        "so an update ends at the reply to `DFUEND`: no restart follows, whose second off the "
        "bus would be the device's and not the pacing's. `scripts/bench.sh` makes this section "
        "with the rest of the page (`VUMO_BENCH_VM_FIGURES=FILE` adds the real kernel's row, "
        "FILE from `scripts/vm-test.sh --figures FILE pacing`); this part alone, without "
        "touching the page: `build/bench/bin/vumo-bench --parts pacing --pacing-notes "
        "bench/pacing-notes.md --vm-figures FILE --output OUT.md`.";

    Figure floorRatio("Fast pacing, " + blocksText + " update, update mode, device answering "
                      "after 1 ms: wall / (blocks × (1 ms + median reply → report turn))",
                      "≤ 1.2", 1.2);
    Figure vsStandard("The same, wall(fast) / wall(standard)", "≤ 0.1", 0.1);
    Figure appPath("Fast pacing, application-mode path, device back after 1 s: wall − 1 s",
                   "≤ 1.5 s + the block time above");
    Figure vm("On the real kernel (tests/vm, uhid device, TCG): 1024-block update, "
              "wall(fast) / wall(standard), same boot",
              "≤ 0.2", 0.2);
    Figure cpu("CPU / wall of the fast " + blocksText + " update (the first row's runs)");
    Figure turn("Context: reply received at the transport → next report written, fast pacing "
                "(the floor's turn)");
    Figure device("Context: report written → the emulated device hands its reply to the bus "
                  "(its 1 ms and its timer's lateness)");
    Figure inProcess("Context: the same fast update in-process, second stage to the end (no "
                     "process start, no checksum tool)");

    const std::string simulateDfu = "--simulate=dfu,reply-delay=1";
    const std::string simulateApp = "--simulate=reply-delay=1,return-delay=1000";
    floorRatio.how = "`vumo-dfu update FILE " + simulateDfu + " --pacing fast --json` as a "
                     "child, spawn to exit (process start, checksum tool, loading, the " +
                     std::to_string(kCommandTurns) + " command turns and exit included), median "
                     "of " + runsText + "; the turn is the median of every turn of fast updates "
                     "in this process on the timed bus (the device answering after 1 ms), "
                     "stamped inside the transport (its reader and writer wrapped)";
    vsStandard.how = "the same runs against as many of `vumo-dfu update FILE " + simulateDfu +
                     " --pacing standard --json`, taken right after them; medians";
    appPath.how = "`vumo-dfu update FILE " + simulateApp + " --pacing fast --json`: mode "
                  "switch, the device off the bus for 1 s, back in update mode, opened as "
                  "soon as it is seen, READY? probes, upload; spawn to exit, median of " +
                  runsText + ", less the device's 1 s; the target's block time is the first "
                  "row's denominator";
    cpu.how = "wait4's rusage of the first row's runs (the program's threads, the emulated "
              "device in it, and the checksum tool), over their wall time; the in-process "
              "runs' getrusage shows the conversation's own share";
    turn.how = "the in-process fast runs: the wrapped reader's read returns the reply on the "
               "listener thread → the wrapped writer's write takes the next report";
    device.how = "the same runs: the wrapped writer's write → the emulated device's port takes "
                 "the reply";
    inProcess.how = "the same runs: `RunCountedUpdate` with a fast CountingPacer, from the "
                    "second stage to UpdateFinished (its image has location code 1: the "
                    "restart command follows the reply to DFUEND, nothing waits for it); "
                    "median of " + runsText;

    const auto finish = [&] {
        AddFigures(section,
                   {&floorRatio, &vsStandard, &appPath, &vm, &cpu, &turn, &device, &inProcess},
                   failed);
        return section;
    };
    VmFigure(setup, vm);

    std::fprintf(stderr, "vumo-bench: fast pacing in-process\n");
    const InProcess local = RunInProcess(imageBytes, setup.runs);
    const std::string image = programs.scratch + "/firmware-location2.bin";
    std::string error;
    if (!local.error.empty() || !MakeSampleImage(programs, image, imageBytes, error, 2)) {
        const std::string why = local.error.empty() ? error : local.error;
        for (Figure* f : {&floorRatio, &vsStandard, &appPath, &cpu, &turn, &device, &inProcess})
            f->error = why;
        return finish();
    }
    const double turnUs = Median(local.turns.fromTransport);
    const double deviceUs = Median(local.turns.atDevice);
    const double fromDeviceUs = Median(local.turns.fromDevice);
    turn.measured = turnUs;
    turn.measuredText = Fixed(turnUs, 1) + " µs (p99 " +
                        Fixed(Percentile(local.turns.fromTransport, 99), 1) + " µs; from the "
                        "device's hand-over " + Fixed(fromDeviceUs, 1) + " µs; " +
                        std::to_string(local.turns.fromTransport.size()) + " turns)";
    device.measured = deviceUs;
    device.measuredText = Fixed(deviceUs, 1) + " µs (p99 " +
                          Fixed(Percentile(local.turns.atDevice, 99), 1) + " µs)";
    inProcess.measured = local.elapsed;
    inProcess.measuredText = Fixed(local.elapsed, 3) + " s (CPU " + Fixed(local.cpu, 3) +
                             " s, " + Fixed(local.voluntary, 0) + " voluntary context switches)";

    const double blocks = static_cast<double>(imageBytes / 128 + 1);
    const double floor = blocks * (kReplyDelayMs + turnUs / 1000) / 1000;  // seconds

    const auto fast = Runs(programs, setup.runs, "fast pacing, update mode", image, simulateDfu,
                           "fast");
    const auto standard = Runs(programs, setup.runs, "standard pacing, update mode", image,
                               simulateDfu, "standard");
    const auto app = Runs(programs, setup.runs, "fast pacing, application mode", image,
                          simulateApp, "fast");

    const double fastWall = MedianOf(fast, [](const UpdateRun& r) { return r.wall; });
    const double standardWall = MedianOf(standard, [](const UpdateRun& r) { return r.wall; });
    const double fastCpu = MedianOf(fast, [](const UpdateRun& r) { return r.cpu; });
    const double standardCpu = MedianOf(standard, [](const UpdateRun& r) { return r.cpu; });
    const double fastSwitches = MedianOf(fast, [](const UpdateRun& r) {
        return static_cast<double>(r.voluntary + r.involuntary);
    });
    if (auto e = FirstError(fast); !e.empty()) {
        floorRatio.error = vsStandard.error = cpu.error = e;
    } else {
        floorRatio.measured = fastWall / floor;
        floorRatio.measuredText = Fixed(floorRatio.measured, 3) + " (" + Fixed(fastWall, 3) +
                                  " s / " + Fixed(floor, 3) + " s floor: " +
                                  Fixed(blocks, 0) + " × (1 ms + " + Fixed(turnUs, 1) + " µs))";
        const double user = MedianOf(fast, [](const UpdateRun& r) { return r.user; });
        const double sys = MedianOf(fast, [](const UpdateRun& r) { return r.sys; });
        cpu.measured = MedianOf(fast, [](const UpdateRun& r) { return r.cpu / r.wall; });
        cpu.measuredText = Fixed(cpu.measured, 3) + " (CPU " + Fixed(fastCpu, 3) + " s: user " +
                           Fixed(user, 3) + " s, system " + Fixed(sys, 3) + " s; " +
                           Fixed(fastSwitches, 0) + " context switches, " +
                           Fixed(fastSwitches / blocks, 1) + " per block; in-process the "
                           "conversation alone used " + Fixed(local.cpu, 3) + " s)";
        if (auto s = FirstError(standard); !s.empty()) {
            vsStandard.error = s;
        } else {
            cpu.measuredText +=
                "; standard pacing: " +
                Fixed(MedianOf(standard, [](const UpdateRun& r) { return r.cpu / r.wall; }), 4) +
                " (CPU " + Fixed(standardCpu, 3) + " s)";
            vsStandard.measured = fastWall / standardWall;
            vsStandard.measuredText = Fixed(vsStandard.measured, 4) + " (" + Fixed(fastWall, 3) +
                                      " s / " + Fixed(standardWall, 3) + " s)";
        }
    }
    if (auto e = FirstError(app); !e.empty()) {
        appPath.error = e;
    } else {
        const double wall = MedianOf(app, [](const UpdateRun& r) { return r.wall; });
        appPath.measured = wall - kReturnSeconds;
        appPath.limit = 1.5 + floor;
        appPath.target = "≤ 1.5 s + the block time above (" + Fixed(appPath.limit, 3) + " s)";
        appPath.measuredText = Fixed(appPath.measured, 3) + " s (wall " + Fixed(wall, 3) +
                               " s; above the block time: " + Fixed(appPath.measured - floor, 3) +
                               " s)";
    }

    // What the first row's wall is made of beyond its floor, from the same run's parts.
    if (floorRatio.error.empty() && !std::isnan(local.elapsed)) {
        // Per update, from the sums of every turn (the floor takes the median turn, the
        // conversation's time is the sum of all of them).
        const auto sumMs = [&](const std::vector<double>& us) {
            double total = 0;
            for (const double v : us) total += v;
            return total / 1000 / setup.runs;
        };
        const double turns = static_cast<double>(local.turns.atDevice.size()) / setup.runs;
        const double deviceMs = sumMs(local.turns.atDevice);
        const double oursMs = sumMs(local.turns.fromDevice);
        const double lateMs = deviceMs - turns * kReplyDelayMs;
        const double oursAboveMs = oursMs - blocks * turnUs / 1000;
        const double commandsMs = kCommandTurns * kReplyDelayMs;
        const double edgesMs = local.elapsed * 1000 - deviceMs - oursMs;
        const double outsideMs = (fastWall - local.elapsed) * 1000;
        std::ostringstream text;
        text << "**What the first row's wall is made of.** The floor, " << Fixed(floor * 1000, 1)
             << " ms, is what a conversation driven by the device's answers cannot go below: "
             << Fixed(blocks, 0) << " blocks, each the device's 1 ms and our median turn of "
             << Fixed(turnUs, 1) << " µs. The " << Fixed(fastWall * 1000, 1)
             << " ms of the whole program are, from the in-process runs' " << Fixed(turns, 0)
             << " turns an update (summed, not medians): the floor; the " << kCommandTurns
             << " command replies' own milliseconds (READY, LOCAT, SIZE, START, END), "
             << Fixed(commandsMs, 1) << " ms; the emulated device answering later than 1 ms "
             << "(its timer thread wakes late; median " << Fixed(deviceUs, 1) << " µs), "
             << Fixed(lateMs, 1) << " ms; our turns above the floor's median, counted from the "
             << "moment the device hands its reply to the bus (the bus's hand-over to the "
             << "listener thread, a median " << Fixed(fromDeviceUs - turnUs, 1)
             << " µs, which the kernel does for a real device, and the slower turns), "
             << Fixed(oursAboveMs, 1) << " ms; the second stage before its first report and "
             << "after the last reply, " << Fixed(edgesMs, 1) << " ms; and outside the "
             << "conversation (process start, the checksum tool's run, loading and the block "
             << "CRCs, exit; the child's wall less the in-process update) "
             << Fixed(outsideMs, 1) << " ms. The parts come from separate runs of the same "
             << "minute, so they add up to the wall only roughly.";
        text << "\n\n**Where the CPU goes.** The fast update used " << Fixed(fastCpu, 3)
             << " s of CPU, the standard one " << Fixed(standardCpu, 3)
             << " s: the same reports, without standard pacing's two timed pauses a block, each "
                "of which ends in a wake-up of the worker. "
             << (fastCpu <= standardCpu ? "Its CPU / wall is the higher only because its wall is "
                                        : "Its wall is ")
             << Fixed(standardWall / fastWall, 0)
             << " times shorter. Per block the worker writes the report, the emulated device's "
                "timer thread wakes after 1 ms to reply, the listener thread is woken by the "
                "reply and wakes the worker: three wake-ups, "
             << Fixed(fastSwitches / blocks, 1)
             << " context switches a block in all. The conversation itself (in-process, the "
                "host's threads and the emulated device's together) used "
             << Fixed(local.cpu, 3) << " s; the rest, "
             << Fixed(std::max(0.0, fastCpu - local.cpu), 3)
             << " s, is the process start, the checksum tool and loading. A real device does "
                "its part in its own processor, so with real hardware the emulated device's "
                "share is not spent on the host.";
        text << "\n\n**When not to use it.** Standard pacing stays the default: a loader may "
                "need the 10 ms around each report or the ten seconds after its return. A "
                "loader that drops reports coming too soon after its reply is emulated with "
                "`--simulate=dfu,min-gap=5`: standard pacing flashes it, fast pacing fails with "
                "the time-out and `cause: This update used fast pacing: try again with "
                "--pacing standard.` (tests/cli/pacing_cli_test.cpp).";
        section.after = text.str();
    }
    if (!setup.notes.empty()) section.after += (section.after.empty() ? "" : "\n\n") + setup.notes;
    return finish();
}

}  // namespace vumo::bench
