#include "sections.h"

#include "in_process.h"
#include "micro_benchmarks.h"
#include "sample_data.h"
#include "stats.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

namespace vumo::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class CapturingReporter final : public benchmark::ConsoleReporter {
public:
    CapturingReporter()
        : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        captured.insert(captured.end(), runs.begin(), runs.end());
        ConsoleReporter::ReportRuns(runs);
    }
    // The median aggregate when there were repetitions, else the run itself.
    const Run* Find(const std::string& name) const {
        const Run* plain = nullptr;
        for (const auto& r : captured) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" &&
                r.run_name.function_name == name)
                return &r;
            if (r.run_type == Run::RT_Iteration && r.run_name.function_name == name &&
                plain == nullptr)
                plain = &r;
        }
        return plain;
    }
    std::string ErrorOf(const std::string& name) const {
        for (const auto& r : captured)
            if (r.run_name.function_name == name && r.error_occurred) return r.error_message;
        return "not run";
    }
    std::vector<Run> captured;
};

std::string WithUnit(double value, benchmark::TimeUnit unit) {
    const char* suffix = unit == benchmark::kNanosecond    ? " ns"
                         : unit == benchmark::kMicrosecond ? " µs"
                         : unit == benchmark::kMillisecond ? " ms"
                                                           : " s";
    return Fixed(value, value < 10 ? 2 : 1) + suffix;
}

double ToMilliseconds(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond: return value / 1e6;
        case benchmark::kMicrosecond: return value / 1e3;
        case benchmark::kMillisecond: return value;
        case benchmark::kSecond: return value * 1e3;
    }
    return value;
}

std::vector<MicroRow> MicroRows(const CapturingReporter& reporter) {
    std::vector<MicroRow> rows;
    std::set<std::string> done;
    for (const auto& r : reporter.captured) {
        const std::string name = r.run_name.function_name;
        if (done.contains(name)) continue;
        const auto* chosen = reporter.Find(name);
        if (chosen == nullptr) continue;
        done.insert(name);
        MicroRow row;
        row.name = name;
        row.time = WithUnit(chosen->GetAdjustedRealTime(), chosen->time_unit);
        row.cpu = WithUnit(chosen->GetAdjustedCPUTime(), chosen->time_unit);
        std::vector<std::string> extra;
        for (const auto& [counter, value] : chosen->counters) {
            if (counter == "bytes_per_second")
                extra.push_back(Fixed(value.value / 1e6, 0) + " MB/s");
            else
                extra.push_back(counter + " " + Fixed(value.value, value.value < 100 ? 1 : 0));
        }
        for (std::size_t i = 0; i < extra.size(); ++i) row.extra += (i ? ", " : "") + extra[i];
        rows.push_back(row);
    }
    return rows;
}

std::string RunsText(int runs, const char* one, const char* many) {
    return std::to_string(runs) + " " + (runs == 1 ? one : many);
}

// What a program run as a child costs: CPU over wall time and the largest resident set, the
// medians of its runs (UpdateRun or StationRun).
template <class Run>
void ChildCost(const std::vector<Run>& runs, Figure& cpuRatio, Figure& rss) {
    std::vector<double> ratios, cpu, wall, memory, switches;
    for (const auto& r : runs) {
        ratios.push_back(r.cpu / r.wall);
        cpu.push_back(r.cpu);
        wall.push_back(r.wall);
        memory.push_back(r.maxRssMiB);
        switches.push_back(static_cast<double>(r.voluntary + r.involuntary));
    }
    cpuRatio.measured = Median(ratios);
    cpuRatio.measuredText = Fixed(cpuRatio.measured, 4) + " (CPU " + Fixed(Median(cpu), 3) +
                            " s of " + Fixed(Median(wall), 2) + " s; " +
                            Fixed(Median(switches), 0) + " context switches)";
    rss.measured = Median(memory);
    rss.measuredText =
        Fixed(rss.measured, 1) + " MiB (largest " + Fixed(Maximum(memory), 1) + " MiB)";
}

}  // namespace

bool MicroFigures(const Options& o, const std::string& scratch, int benchArgc, char** benchArgv,
                  Figures& f, Report& report) {
    RegisterBenchmarks(o.shortMode, scratch);
    std::vector<std::string> args(benchArgv, benchArgv + benchArgc);
    if (o.shortMode) {
        args.push_back("--benchmark_min_time=0.001");
    } else {
        args.push_back("--benchmark_repetitions=5");
        args.push_back("--benchmark_report_aggregates_only=true");
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    benchmark::Initialize(&argc, argv.data());
    if (benchmark::ReportUnrecognizedArguments(argc, argv.data())) return false;
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    report.micro = MicroRows(reporter);

    const std::string repetitions = o.shortMode ? "1 run" : "5 repetitions";
    f.load.how = "Google Benchmark `" + std::string(kCheckLoadCrcCase) +
                 "`: `LoadImageFile` + `CommitImage` (zero fill, copy, 1024 CRCs) of a raw file "
                 "in the page cache; median of " + repetitions;
    if (const auto* r = reporter.Find(kCheckLoadCrcCase)) {
        f.load.measured = ToMilliseconds(r->GetAdjustedRealTime(), r->time_unit);
        f.load.measuredText = Fixed(f.load.measured, 3) + " ms";
        if (const auto* hex = reporter.Find("BM_LoadAndCommitImage/hex"))
            f.load.measuredText +=
                " (Intel HEX: " +
                Fixed(ToMilliseconds(hex->GetAdjustedRealTime(), hex->time_unit), 2) + " ms)";
    } else {
        f.load.error = reporter.ErrorOf(kCheckLoadCrcCase);
    }

    f.turn.how = "Google Benchmark `" + std::string(kConversationCase) +
                 "`: whole 1024-block updates in-process on the simulated bus (update-mode path, "
                 "CountingPacer, a front end that shows nothing); the device answers after 1 ms, "
                 "so the worker is asleep when each reply comes; the transport is wrapped: its "
                 "read stamps the reply as it comes out, its write stamps the next report; "
                 "median of all turns of " +
                 (o.shortMode ? "1 update" : "5 updates");
    f.fromDevice.how = "the same runs, stamped when the emulated device hands the reply to the "
                       "bus (adds the bus's hand-over to the listener thread)";
    const auto counter = [](const benchmark::BenchmarkReporter::Run* r, const char* name) {
        if (r == nullptr) return kNaN;
        const auto it = r->counters.find(name);
        return it == r->counters.end() ? kNaN : it->second.value;
    };
    if (const auto* r = reporter.Find(kConversationCase)) {
        f.turn.measured = counter(r, "turn_median_us");
        f.turn.measuredText = Fixed(f.turn.measured, 1) + " µs (p99 " +
                              Fixed(counter(r, "turn_p99_us"), 1) + " µs, max " +
                              Fixed(counter(r, "turn_max_us"), 0) + " µs; " +
                              Fixed(counter(r, "turns"), 0) + " turns)";
        if (const auto* now = reporter.Find(kConversationNoDelayCase))
            f.turn.measuredText += "; device answering at once: " +
                                   Fixed(counter(now, "turn_median_us"), 1) + " µs (p99 " +
                                   Fixed(counter(now, "turn_p99_us"), 1) + " µs)";
        f.fromDevice.measured = counter(r, "from_device_median_us");
        f.fromDevice.measuredText = Fixed(f.fromDevice.measured, 1) + " µs (p99 " +
                                    Fixed(counter(r, "from_device_p99_us"), 1) + " µs)";
    } else {
        f.turn.error = f.fromDevice.error = reporter.ErrorOf(kConversationCase);
    }
    return true;
}

// Whole updates as the user runs them, and the pacing floor they are held against.
void UpdateFigures(const Options& o, const Programs& programs, Figures& f, Report& report,
                   std::vector<LoadSpan>& loads) {
    const std::size_t imageBytes = o.shortMode ? kShortImageBytes : kFullImageBytes;
    std::fprintf(stderr, "vumo-bench: pacing floor\n");
    const auto bytes = SampleImage(imageBytes);
    const auto updateFloor = RunCountedUpdate(false, bytes, nullptr);
    const auto appFloor = RunCountedUpdate(true, bytes, nullptr);
    const std::string image = programs.scratch + "/firmware.bin";
    std::string error;
    if (!MakeSampleImage(programs, image, imageBytes, error)) {
        f.cpuRatio.error = f.floorRatio.error = f.rss.error = error;
        return;
    }

    WaitForLowLoad(o, report.conditions);
    const auto runAll = [&](const char* what, const std::string& simulate) {
        std::vector<UpdateRun> runs;
        LoadSpan span{what, LoadAverage()};
        for (int i = 0; i < o.runs; ++i) {
            std::fprintf(stderr, "vumo-bench: %s, run %d of %d\n", what, i + 1, o.runs);
            runs.push_back(RunUpdate(programs, image, simulate));
        }
        span.after = LoadAverage();
        loads.push_back(span);
        return runs;
    };
    const auto appRuns = runAll("update, application mode", "--simulate");
    const auto dfuRuns = runAll("update, update mode", "--simulate=dfu,reply-delay=0");
    const auto firstError = [](const std::vector<UpdateRun>& runs) {
        for (const auto& r : runs)
            if (!r.error.empty()) return r.error;
        return std::string();
    };
    const std::string runsText = RunsText(o.runs, "run", "runs");

    f.cpuRatio.how = "`vumo-dfu update FILE --simulate --json` as a child: CPU from wait4's rusage "
                     "(its threads and the checksum tool it ran), wall from spawn to exit; "
                     "includes the 10 s after the device's return and its 1 s off the bus; "
                     "median of " + runsText;
    f.rss.how = "`ru_maxrss` of the same runs (what `/usr/bin/time -v` reports); median";
    if (auto e = firstError(appRuns); !e.empty()) {
        f.cpuRatio.error = f.rss.error = e;
    } else {
        ChildCost(appRuns, f.cpuRatio, f.rss);
    }

    f.floorRatio.how =
        "`vumo-dfu update FILE --simulate=dfu,reply-delay=0 --json` as a child, spawn to exit "
        "(process start, checksum tool and exit included); the floor is the sum of the pauses "
        "the procedure asks for, counted by a CountingPacer in an in-process update of the same "
        "image (1 + 1 ms, 10 ms before each of the 4 commands and the start, 10 ms before and "
        "after each block, 10 ms before the end); median of " + runsText;
    if (!updateFloor.ok) {
        f.floorRatio.error = "pacing floor: " + updateFloor.error;
    } else if (auto e = firstError(dfuRuns); !e.empty()) {
        f.floorRatio.error = e;
    } else {
        std::vector<double> wall;
        for (const auto& r : dfuRuns) wall.push_back(r.wall);
        const double floor = static_cast<double>(updateFloor.pauses.count()) / 1000;
        f.floorRatio.measured = Median(wall) / floor;
        f.floorRatio.measuredText = Fixed(f.floorRatio.measured, 4) + " (" +
                                    Fixed(Median(wall), 3) + " s / " + Fixed(floor, 3) +
                                    " s floor)";
        if (appFloor.ok)
            f.floorRatio.measuredText +=
                "; application-mode floor " +
                Fixed(static_cast<double>(appFloor.pauses.count()) / 1000, 3) + " s";
    }
}

// The station: the same image to 8 simulated devices at once and to 1, each from application
// mode with the product's pauses; the devices are emulated inside the measured process, so its
// CPU time includes theirs.
void StationFigures(const Options& o, const Programs& programs, Figures& f,
                    std::vector<LoadSpan>& loads) {
    const std::size_t imageBytes = o.shortMode ? kShortImageBytes : kFullImageBytes;
    const std::string image = programs.scratch + "/station-firmware.bin";
    std::string error;
    if (!MakeSampleImage(programs, image, imageBytes, error)) {
        f.stationScale.error = f.stationCpu.error = f.stationRss.error = error;
        return;
    }
    const int many = Figures::kStationDevices;
    std::vector<StationRun> manyRuns, oneRuns;
    LoadSpan span{"station", LoadAverage()};
    // Interleaved, so that a change of load falls on both alike.
    for (int i = 0; i < o.runs; ++i) {
        std::fprintf(stderr, "vumo-bench: station, %d devices, run %d of %d\n", many, i + 1,
                     o.runs);
        manyRuns.push_back(
            RunStation(programs, image, "--simulate=devices=" + std::to_string(many), many));
        std::fprintf(stderr, "vumo-bench: station, 1 device, run %d of %d\n", i + 1, o.runs);
        oneRuns.push_back(RunStation(programs, image, "--simulate=devices=1", 1));
    }
    span.after = LoadAverage();
    loads.push_back(span);
    for (const auto* runs : {&manyRuns, &oneRuns})
        for (const auto& r : *runs)
            if (!r.error.empty()) {
                f.stationScale.error = f.stationCpu.error = f.stationRss.error = r.error;
                return;
            }
    const std::string runsText = RunsText(o.runs, "run", "runs");
    f.stationScale.how = "`vumo-dfu station FILE --simulate=devices=" + std::to_string(many) +
                         " --count " + std::to_string(many) + " --json` and the same with one "
                         "device, as children, spawn to exit (the file's check, the mode "
                         "switches, 1 s off the bus, the 10 s settle, the upload and the "
                         "confirmed restart of every device); median wall of " + runsText +
                         " each, interleaved";
    f.stationCpu.how = "wait4's rusage of the " + std::to_string(many) + "-device runs (every "
                       "thread of the station, the emulated devices inside it, and the checksum "
                       "tool) over their wall time; median";
    f.stationRss.how = "`ru_maxrss` of the same runs; median";
    std::vector<double> manyWall, oneWall;
    for (const auto& r : manyRuns) manyWall.push_back(r.wall);
    for (const auto& r : oneRuns) oneWall.push_back(r.wall);
    f.stationScale.measured = Median(manyWall) / Median(oneWall);
    f.stationScale.measuredText = Fixed(f.stationScale.measured, 4) + " (" +
                                  Fixed(Median(manyWall), 2) + " s / " +
                                  Fixed(Median(oneWall), 2) + " s)";
    ChildCost(manyRuns, f.stationCpu, f.stationRss);
}

void ConversationThroughWindow(const Options& o, const Programs& programs, Figure& figure) {
    std::string error;
    const std::string image = programs.scratch + "/window-firmware.bin";
    if (!MakeSampleImage(programs, image, kFullImageBytes, error)) {
        figure.error = error;
        return;
    }
    std::vector<std::map<std::string, double>> runs;
    for (int i = 0; i < o.runs; ++i) {
        std::fprintf(stderr, "vumo-bench: update through the window, run %d of %d\n", i + 1,
                     o.runs);
        runs.push_back(WindowConversation(programs, image, error));
        if (!error.empty()) {
            figure.error = error;
            return;
        }
    }
    const auto median = [&runs](const char* name) {
        std::vector<double> values;
        for (const auto& r : runs)
            if (const auto it = r.find(name); it != r.end()) values.push_back(it->second);
        return Median(values);
    };
    figure.measured = median("median");
    const double blocks = median("turns") - 5;  // READY, LOCAT, SIZE, START, END replies
    figure.measuredText =
        Fixed(figure.measured, 1) + " µs (p99 " + Fixed(median("p99"), 1) +
        " µs; before a block whose warning changes " + Fixed(median("median_warning_change"), 1) +
        " µs, before the others " + Fixed(median("median_other_blocks"), 1) +
        " µs; the window's thread used " + Fixed(median("window_cpu_us") / blocks, 0) +
        " µs of CPU per block over the whole update and painted the progress bar " +
        Fixed(median("progress_paints"), 0) + " times)";
}

void FirstPaint(const Options& o, const Programs& programs, Figure& figure) {
    std::vector<double> toPaint, mainToPaint;
    for (int i = 0; i < o.paintRuns; ++i) {
        std::fprintf(stderr, "vumo-bench: first paint, run %d of %d\n", i + 1, o.paintRuns);
        const auto p = MeasureFirstPaint(programs);
        if (!p.error.empty()) {
            figure.error = p.error;
            return;
        }
        toPaint.push_back(p.toPaintMs);
        mainToPaint.push_back(p.mainToPaintMs);
    }
    figure.measured = Median(toPaint);
    figure.measuredText = Fixed(figure.measured, 1) + " ms (of which " +
                          Fixed(Median(mainToPaint), 1) + " ms from main(); slowest " +
                          Fixed(Maximum(toPaint), 1) + " ms)";
}

// The window: idle wake-ups, the conversation through it, its first paint.
void WindowFigures(const Options& o, const Programs& programs, Figures& f, Report& report,
                   std::vector<LoadSpan>& loads) {
    const std::string seconds = Fixed(o.idleSeconds, 0) + " s";
    f.idleNothing.how = "`vumo-dfu-utility --simulate`, QT_QPA_PLATFORM=offscreen (the window is "
                        "active, the path field has the focus), left alone for 12 s after start-up (past "
                        "the caret's blink, which stops after 10 s without input): "
                        "voluntary + involuntary context switches of all its threads "
                        "(`/proc/PID/task/*/status`) over " + seconds;
    f.idleOpen.how = "the same program with a probe (`vumo-bench-window`: the same application "
                     "object; the window has no other way to be told to open a device), "
                     "`--simulate=dfu`, Open pressed on the first device after the first paint, "
                     "then left alone for 12 s; all threads over " + seconds;
    f.nothingBackground.how = "the probe, `--simulate`, the window deactivated after the first "
                              "paint as when the user turns to another window; over " + seconds;
    f.openBackground.how = "the probe, `--simulate=dfu`, the device opened, then the window "
                           "deactivated; over " + seconds;
    f.caretOff.how = "the probe, `--simulate`, active window, the caret's flash time set to 0 "
                     "(nothing else changed); over " + seconds;
    f.turnWindow.how = "`vumo-bench-window --bench-conversation`: the program's dialog on the "
                       "same timed simulated bus (update mode, the device answering after 1 ms, "
                       "CountingPacer), Open and Update pressed, a 1024-block image checked by "
                       "the checksum tool; median of the per-update medians of " +
                       RunsText(o.runs, "update", "updates");
    f.paint.how = "`vumo-bench-window --simulate`, offscreen: spawn → the first frame of the "
                  "window is painted (reported by the probe on a pipe, CLOCK_MONOTONIC); median "
                  "of " + RunsText(o.paintRuns, "start", "starts");
    f.listener.how = "a DfuDevice open on a simulated update-mode device that never speaks, in "
                     "this process; every thread but the measuring one, over " + seconds;

    WaitForLowLoad(o, report.conditions);
    LoadSpan span{"window", LoadAverage()};
    const auto measureInto = [&](Figure& figure, const WindowIdleSetup& setup) {
        std::fprintf(stderr, "vumo-bench: %s\n", figure.name.c_str());
        const auto idle = MeasureWindowIdle(programs, setup);
        figure.error = idle.error;
        figure.measured = idle.perSecond;
        figure.measuredText = IdleText(idle);
    };
    if (!fs::exists(programs.bin + "/vumo-dfu-utility")) {
        f.idleNothing.error = "vumo-dfu-utility was not built";
        f.idleNothing.skipped = true;
    } else {
        measureInto(f.idleNothing, {});
    }
    if (!fs::exists(programs.bin + "/vumo-bench-window")) {
        for (Figure* figure : {&f.idleOpen, &f.paint, &f.nothingBackground, &f.openBackground,
                               &f.caretOff, &f.turnWindow}) {
            figure->error = "the window was not built";
            figure->skipped = true;
        }
    } else {
        measureInto(f.idleOpen, {.probe = true, .simulate = "--simulate=dfu", .open = true});
        measureInto(f.nothingBackground, {.probe = true, .background = true});
        measureInto(f.openBackground, {.probe = true,
                                       .simulate = "--simulate=dfu",
                                       .open = true,
                                       .background = true});
        measureInto(f.caretOff, {.probe = true, .caretBlink = false});
        ConversationThroughWindow(o, programs, f.turnWindow);
        FirstPaint(o, programs, f.paint);
    }
    span.after = LoadAverage();
    loads.push_back(span);

    std::fprintf(stderr, "vumo-bench: silent device, in-process\n");
    const auto silent =
        MeasureSilentOpenDevice(std::chrono::milliseconds(std::llround(o.idleSeconds * 1000)));
    f.listener.error = silent.error;
    f.listener.measured = silent.ok ? silent.perSecond : kNaN;
    f.listener.measuredText =
        Fixed(silent.perSecond, 2) + " /s (" + std::to_string(silent.threads) + " threads)";
}

}  // namespace vumo::bench
