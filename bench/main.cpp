// vumo-bench: measures what an update and an idle program cost and writes the results page.
//
//   vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]
//              [--paint-runs N] [--idle-seconds S] [--wait-for-load L]
//              [--parts micro,update,station,window,pacing,station64] [--vm-figures FILE]
//              [--pacing-notes FILE] [--station64-notes FILE]
//              [--command TEXT] [Google Benchmark flags]
//
// micro:  Google Benchmark cases (CRC, reply recognition, loader, the in-process conversation)
// update: whole `vumo-dfu update --simulate` runs as children, real timings, and the pacing
//         floor counted in-process
// station: `vumo-dfu station --simulate=devices=8` against one device, application-mode path,
//         real timings: how its wall time scales, its CPU and its memory
// window: vumo-dfu-utility's wake-ups while idle, an update through its dialog with the
//         pauses counted, and its first paint, all offscreen
// pacing: `--pacing fast` against its floor and against standard pacing (bench/pacing.cpp);
//         --vm-figures adds the figure the test machine took on the real kernel
// station64: a bench of 64 devices on a terminal, standard and fast pacing, against one
//         device; the terminal display's redraw (bench/station64.cpp)
//
// --short runs each measurement once and quickly and gives no verdicts (CI keeps the benchmarks
// working with it). Missed targets never change the exit status: 0 when everything could be
// measured, 1 when something could not, 2 for a usage mistake.

#include "in_process.h"
#include "micro_benchmarks.h"
#include "pacing.h"
#include "station64.h"
#include "programs.h"
#include "report.h"
#include "sample_data.h"
#include "stats.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace vumo::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kFullImageBytes = 131'071;        // 1024 blocks
constexpr std::size_t kShortImageBytes = 16 * 128 - 1;  // 16 blocks

struct Options {
    bool shortMode = false;
    std::string output;
    std::string notes;
    std::string bin;
    std::string command = "scripts/bench.sh";
    int runs = 3;
    int paintRuns = 5;
    double idleSeconds = 10;
    double waitForLoad = 0;  // 0: do not wait
    std::set<std::string> parts = {"micro", "update", "station", "window", "pacing", "station64"};
    std::string vmFigures;
    std::string pacingNotes;
    std::string station64Notes;
};

const char* const kUsage =
    "usage: vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]\n"
    "                  [--paint-runs N] [--idle-seconds S] [--wait-for-load L]\n"
    "                  [--parts micro,update,station,window,pacing,station64]\n"
    "                  [--vm-figures FILE]\n"
    "                  [--pacing-notes FILE] [--station64-notes FILE]\n"
    "                  [--command TEXT] [--benchmark_...]\n";

template <class T>
bool Number(std::string_view text, T& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size();
}

// Takes our options out of argv and leaves Google Benchmark's.
std::optional<Options> ParseOptions(int& argc, char** argv) {
    Options o;
    int kept = 1;
    bool explicitRuns = false, explicitPaint = false, explicitIdle = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--short") {
            o.shortMode = true;
        } else if (arg == "--output") {
            if (!value(o.output)) return std::nullopt;
        } else if (arg == "--notes") {
            if (!value(o.notes)) return std::nullopt;
        } else if (arg == "--bin") {
            if (!value(o.bin)) return std::nullopt;
        } else if (arg == "--pacing-notes") {
            if (!value(o.pacingNotes)) return std::nullopt;
        } else if (arg == "--station64-notes") {
            if (!value(o.station64Notes)) return std::nullopt;
        } else if (arg == "--vm-figures") {
            if (!value(o.vmFigures)) return std::nullopt;
        } else if (arg == "--command") {
            if (!value(o.command)) return std::nullopt;
        } else if (arg == "--runs") {
            if (!value(v) || !Number(v, o.runs) || o.runs < 1) return std::nullopt;
            explicitRuns = true;
        } else if (arg == "--paint-runs") {
            if (!value(v) || !Number(v, o.paintRuns) || o.paintRuns < 1) return std::nullopt;
            explicitPaint = true;
        } else if (arg == "--idle-seconds") {
            if (!value(v) || !Number(v, o.idleSeconds) || !(o.idleSeconds > 0))
                return std::nullopt;
            explicitIdle = true;
        } else if (arg == "--wait-for-load") {
            if (!value(v) || !Number(v, o.waitForLoad) || !(o.waitForLoad > 0))
                return std::nullopt;
        } else if (arg == "--parts") {
            if (!value(v)) return std::nullopt;
            o.parts.clear();
            std::stringstream list(v);
            for (std::string part; std::getline(list, part, ',');) {
                if (part != "micro" && part != "update" && part != "station" &&
                    part != "window" && part != "pacing" && part != "station64")
                    return std::nullopt;
                o.parts.insert(part);
            }
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg.rfind("--benchmark_", 0) == 0) {
            argv[kept++] = argv[i];
        } else {
            return std::nullopt;
        }
    }
    argc = kept;
    if (o.shortMode) {
        if (!explicitRuns) o.runs = 1;
        if (!explicitPaint) o.paintRuns = 1;
        if (!explicitIdle) o.idleSeconds = 1;
    }
    std::error_code ec;
    if (o.bin.empty()) o.bin = fs::read_symlink("/proc/self/exe", ec).parent_path().string();
    // The checksum tool is given to the window by path, which must be absolute.
    o.bin = fs::absolute(o.bin, ec).lexically_normal().string();
    return o;
}

double LoadAverage() {
    double load[1] = {kNaN};
    return ::getloadavg(load, 1) == 1 ? load[0] : kNaN;
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return text;
}

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown processor";
}

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

void WaitForLowLoad(const Options& o, std::vector<std::string>& conditions) {
    if (!(o.waitForLoad > 0)) return;
    const auto deadline = Clock::now() + 20min;
    while (LoadAverage() >= o.waitForLoad && Clock::now() < deadline) {
        std::fprintf(stderr, "vumo-bench: load %.2f, waiting for it to fall below %.2f\n",
                     LoadAverage(), o.waitForLoad);
        std::this_thread::sleep_for(15s);
    }
    if (LoadAverage() >= o.waitForLoad)
        conditions.push_back("The load did not fall below " + Fixed(o.waitForLoad, 2) +
                             " within 20 minutes; the whole-process figures were taken anyway.");
}

struct LoadSpan {
    std::string what;
    double before = kNaN, after = kNaN;
};

std::string LoadLine(const std::vector<LoadSpan>& spans) {
    std::string line = "Load average (1 min) before → after each whole-process figure: ";
    for (std::size_t i = 0; i < spans.size(); ++i)
        line += (i ? "; " : "") + spans[i].what + " " + Fixed(spans[i].before, 2) + " → " +
                Fixed(spans[i].after, 2);
    return line + ".";
}

// Every figure of the page, in the order the table gives them.
struct Figures {
    explicit Figures(const std::string& blocks)
        : cpuRatio("CPU time (user + sys) / wall time of a whole " + blocks +
                       " update, application-mode path",
                   "≤ 0.02", 0.02),
          floorRatio("Update wall time / pacing floor, reply delay 0", "≤ 1.02", 1.02),
          turn("Reply received at the transport → next report written, fixed pauses excluded; "
               "command-line front end",
               "≤ 100 µs median", 100),
          turnWindow("The same through the window (its front end waits for each progress step "
                     "and warning blink to be carried out on the window's thread)",
                     "≤ 100 µs median", 100),
          idleNothing("Wake-ups per second of an idle `vumo-dfu-utility`, nothing open", "≤ 1",
                      1),
          idleOpen("The same with a device open and silent", "≤ 3", 3),
          paint("Window start → first paint, offscreen", "≤ 100 ms", 100),
          load("Check + load + block CRCs of a 131,071-byte image, the tool's run excluded",
               "≤ 5 ms", 5),
          rss("Peak resident memory of `vumo-dfu update` over a " + blocks + " update",
              "≤ 20 MiB", 20),
          stationScale("Station wall time, " + std::to_string(kStationDevices) +
                           " devices in parallel / 1 device, " + blocks +
                           " image, application-mode path",
                       "≤ 1.15", 1.15),
          stationCpu("CPU time / wall time of the whole `vumo-dfu station` process flashing " +
                         std::to_string(kStationDevices) + " devices",
                     "≤ 0.05", 0.05),
          stationRss("Peak resident memory of `vumo-dfu station` flashing " +
                         std::to_string(kStationDevices) + " devices",
                     "≤ 30 MiB", 30),
          nothingBackground("Context: the same, nothing open, window in the background"),
          openBackground("Context: the same, device open and silent, window in the background"),
          caretOff("Context: the same, nothing open, window active, caret not blinking"),
          listener("Context: wake-ups per second of a device object open on a silent device, "
                   "in-process (the listener and the simulated device alone)"),
          fromDevice("Context: reply handed to the bus by the device → next report written, "
                     "pauses excluded") {}

    static constexpr int kStationDevices = 8;
    Figure cpuRatio, floorRatio, turn, turnWindow, idleNothing, idleOpen, paint, load, rss;
    Figure stationScale, stationCpu, stationRss;
    Figure nothingBackground, openBackground, caretOff, listener, fromDevice;

    // Each with the part that measures it.
    std::vector<std::pair<Figure*, const char*>> All() {
        return {{&cpuRatio, "update"},          {&floorRatio, "update"},
                {&turn, "micro"},               {&turnWindow, "window"},
                {&idleNothing, "window"},       {&idleOpen, "window"},
                {&paint, "window"},             {&load, "micro"},
                {&rss, "update"},               {&stationScale, "station"},
                {&stationCpu, "station"},       {&stationRss, "station"},
                {&nothingBackground, "window"},
                {&openBackground, "window"},    {&caretOff, "window"},
                {&listener, "window"},          {&fromDevice, "micro"}};
    }
};

// Google Benchmark: the micro-benchmarks, and the in-process conversation. False when the
// benchmark flags were wrong.
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

std::string RunsText(int runs, const char* one, const char* many) {
    return std::to_string(runs) + " " + (runs == 1 ? one : many);
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
        std::vector<double> ratios, cpu, wall, memory, switches;
        for (const auto& r : appRuns) {
            ratios.push_back(r.cpu / r.wall);
            cpu.push_back(r.cpu);
            wall.push_back(r.wall);
            memory.push_back(r.maxRssMiB);
            switches.push_back(static_cast<double>(r.voluntary + r.involuntary));
        }
        f.cpuRatio.measured = Median(ratios);
        f.cpuRatio.measuredText = Fixed(f.cpuRatio.measured, 4) + " (CPU " +
                                  Fixed(Median(cpu), 3) + " s of " + Fixed(Median(wall), 2) +
                                  " s; " + Fixed(Median(switches), 0) + " context switches)";
        f.rss.measured = Median(memory);
        f.rss.measuredText = Fixed(f.rss.measured, 1) + " MiB (largest " +
                             Fixed(Maximum(memory), 1) + " MiB)";
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
    std::vector<double> manyWall, oneWall, ratios, cpu, memory, switches;
    for (const auto& r : manyRuns) {
        manyWall.push_back(r.wall);
        ratios.push_back(r.cpu / r.wall);
        cpu.push_back(r.cpu);
        memory.push_back(r.maxRssMiB);
        switches.push_back(static_cast<double>(r.voluntary + r.involuntary));
    }
    for (const auto& r : oneRuns) oneWall.push_back(r.wall);
    f.stationScale.measured = Median(manyWall) / Median(oneWall);
    f.stationScale.measuredText = Fixed(f.stationScale.measured, 4) + " (" +
                                  Fixed(Median(manyWall), 2) + " s / " +
                                  Fixed(Median(oneWall), 2) + " s)";
    f.stationCpu.measured = Median(ratios);
    f.stationCpu.measuredText = Fixed(f.stationCpu.measured, 4) + " (CPU " +
                                Fixed(Median(cpu), 3) + " s of " + Fixed(Median(manyWall), 2) +
                                " s; " + Fixed(Median(switches), 0) + " context switches)";
    f.stationRss.measured = Median(memory);
    f.stationRss.measuredText = Fixed(f.stationRss.measured, 1) + " MiB (largest " +
                                Fixed(Maximum(memory), 1) + " MiB)";
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

// A section's notes file as it is, without its last line ends; empty when none was given.
std::string SectionNotes(const std::string& path, bool& failed) {
    if (path.empty()) return {};
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "vumo-bench: can't read %s\n", path.c_str());
        failed = true;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string notes = text.str();
    while (!notes.empty() && notes.back() == '\n') notes.pop_back();
    return notes;
}

int Run(const Options& o, int benchArgc, char** benchArgv) {
    char scratchTemplate[] = "/tmp/vumo-bench.XXXXXX";
    if (::mkdtemp(scratchTemplate) == nullptr) {
        std::perror("vumo-bench: mkdtemp");
        return 1;
    }
    struct RemoveScratch {
        std::string path;
        ~RemoveScratch() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } removeScratch{scratchTemplate};
    Programs programs;
    programs.bin = o.bin;
    programs.scratch = scratchTemplate;
    programs.idleSeconds = o.idleSeconds;
    // Idle means left alone: past start-up and past the caret's blink, which the window stops
    // after ten seconds without input, as desktops do.
    programs.settle = o.shortMode ? 1s : 12s;

    Report report;
    report.shortMode = o.shortMode;
    report.command = o.command;
    report.date = Now();
    utsname system{};
    ::uname(&system);
    report.conditions.push_back(CpuModel() + ", " +
                                std::to_string(std::thread::hardware_concurrency()) +
                                " logical processors, Linux " + system.release + "; build " +
                                VUMO_BENCH_BUILD_TYPE + ".");

    const std::size_t imageBytes = o.shortMode ? kShortImageBytes : kFullImageBytes;
    Figures figures(std::to_string(imageBytes / 128 + 1) + "-block");
    std::vector<LoadSpan> loads;
    if (o.parts.contains("micro") &&
        !MicroFigures(o, programs.scratch, benchArgc, benchArgv, figures, report))
        return 2;
    if (o.parts.contains("update")) UpdateFigures(o, programs, figures, report, loads);
    if (o.parts.contains("station")) {
        WaitForLowLoad(o, report.conditions);
        StationFigures(o, programs, figures, loads);
    }
    if (o.parts.contains("window")) WindowFigures(o, programs, figures, report, loads);
    bool sectionFailed = false;
    if (o.parts.contains("pacing")) {
        WaitForLowLoad(o, report.conditions);
        LoadSpan span{"fast pacing", LoadAverage()};
        const std::string notes = SectionNotes(o.pacingNotes, sectionFailed);
        report.sections.push_back(
            PacingSection({o.shortMode, o.runs, o.vmFigures, notes}, programs, sectionFailed));
        span.after = LoadAverage();
        // The section may be read apart from the page's header.
        report.sections.back().intro += "\n\nRun of " + report.date + " (" +
                                        report.conditions.front() + " Load average (1 min) " +
                                        Fixed(span.before, 2) + " → " + Fixed(span.after, 2) +
                                        ").";
        loads.push_back(span);
    }
    if (o.parts.contains("station64")) {
        WaitForLowLoad(o, report.conditions);
        LoadSpan span{"bench of 64", LoadAverage()};
        const std::string notes = SectionNotes(o.station64Notes, sectionFailed);
        report.sections.push_back(
            Station64Section({o.shortMode, o.runs}, programs, sectionFailed));
        std::string& after = report.sections.back().after;
        if (!notes.empty()) after += (after.empty() ? "" : "\n\n") + notes;
        span.after = LoadAverage();
        report.sections.back().intro += "\n\nRun of " + report.date + " (" +
                                        report.conditions.front() + " Load average (1 min) " +
                                        Fixed(span.before, 2) + " → " + Fixed(span.after, 2) +
                                        ").";
        loads.push_back(span);
    }
    if (!loads.empty()) report.conditions.push_back(LoadLine(loads));

    bool failed = sectionFailed;
    for (auto [f, part] : figures.All()) {
        if (!o.parts.contains(part)) {
            if (f->target.empty()) continue;
            f->error = "not run";
        } else if (f->skipped) {
            if (f->target.empty()) continue;
        } else if (!f->error.empty() || std::isnan(f->measured)) {
            if (f->error.empty()) f->error = "no value";
            failed = true;
            std::fprintf(stderr, "vumo-bench: %s: %s\n", f->name.c_str(), f->error.c_str());
        }
        report.figures.push_back(*f);
    }

    if (!o.notes.empty()) {
        std::ifstream notes(o.notes);
        std::stringstream text;
        text << notes.rdbuf();
        report.notes = text.str();
    }
    const std::string page = RenderMarkdown(report);
    if (o.output.empty()) {
        std::fputs(page.c_str(), stdout);
    } else {
        std::ofstream out(o.output, std::ios::trunc);
        out << page;
        if (!out) {
            std::fprintf(stderr, "vumo-bench: can't write %s\n", o.output.c_str());
            return 1;
        }
        std::fprintf(stderr, "vumo-bench: wrote %s\n", o.output.c_str());
    }
    // The verdicts, for the terminal.
    std::vector<Figure> all = report.figures;
    for (const auto& section : report.sections)
        all.insert(all.end(), section.figures.begin(), section.figures.end());
    for (const auto& f : all)
        std::fprintf(stderr, "%-24s %s  %s\n", VerdictText(Judge(f, o.shortMode)),
                     f.name.c_str(), f.error.empty() ? f.measuredText.c_str() : f.error.c_str());
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace vumo::bench

int main(int argc, char** argv) {
    const auto options = vumo::bench::ParseOptions(argc, argv);
    if (!options) {
        std::fputs(vumo::bench::kUsage, stderr);
        return 2;
    }
    return vumo::bench::Run(*options, argc, argv);
}
