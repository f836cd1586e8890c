// vumo-bench: measures what an update and an idle program cost and writes the results page.
//
//   vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]
//              [--paint-runs N] [--idle-seconds S] [--wait-for-load L]
//              [--parts micro,update,window] [--command TEXT] [Google Benchmark flags]
//
// micro:  Google Benchmark cases (CRC, reply recognition, loader, the in-process conversation)
// update: whole `vumo-dfu update --simulate` runs as children, real timings, and the pacing
//         floor counted in-process
// window: vumo-dfu-utility's wake-ups while idle, and its first paint, offscreen
//
// --short runs each measurement once and quickly and gives no verdicts (CI keeps the benchmarks
// working with it). Missed targets never change the exit status: 0 when everything could be
// measured, 1 when something could not, 2 for a usage mistake.

#include "child_process.h"
#include "in_process.h"
#include "sample_data.h"
#include "micro_benchmarks.h"
#include "proc_stats.h"
#include "report.h"
#include "stats.h"

#include <benchmark/benchmark.h>

#include <signal.h>
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

constexpr std::size_t kFullImageBytes = 131'071;   // 1024 blocks
constexpr std::size_t kShortImageBytes = 16 * 128 - 1;  // 16 blocks
constexpr auto kUpdateLimit = 180s;
constexpr auto kWindowLimit = 30s;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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
    std::set<std::string> parts = {"micro", "update", "window"};
};

const char* const kUsage =
    "usage: vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]\n"
    "                  [--paint-runs N] [--idle-seconds S] [--wait-for-load L]\n"
    "                  [--parts micro,update,window] [--command TEXT] [--benchmark_...]\n";

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
        } else if (arg == "--command") {
            if (!value(o.command)) return std::nullopt;
        } else if (arg == "--runs") {
            if (!value(v) || !Number(v, o.runs) || o.runs < 1) return std::nullopt;
            explicitRuns = true;
        } else if (arg == "--paint-runs") {
            if (!value(v) || !Number(v, o.paintRuns) || o.paintRuns < 1) return std::nullopt;
            explicitPaint = true;
        } else if (arg == "--idle-seconds") {
            if (!value(v) || !Number(v, o.idleSeconds) || !(o.idleSeconds > 0)) return std::nullopt;
            explicitIdle = true;
        } else if (arg == "--wait-for-load") {
            if (!value(v) || !Number(v, o.waitForLoad) || !(o.waitForLoad > 0)) return std::nullopt;
        } else if (arg == "--parts") {
            if (!value(v)) return std::nullopt;
            o.parts.clear();
            std::stringstream list(v);
            for (std::string part; std::getline(list, part, ',');) {
                if (part != "micro" && part != "update" && part != "window") return std::nullopt;
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
    if (o.bin.empty()) {
        std::error_code ec;
        o.bin = fs::read_symlink("/proc/self/exe", ec).parent_path().string();
    }
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

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

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
            if (r.run_type == Run::RT_Iteration && r.run_name.function_name == name && plain == nullptr)
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

// --- Whole-process runs ------------------------------------------------------------------

struct UpdateRun {
    std::string error;
    double wall = 0, cpu = 0;
    double maxRssMiB = 0;
    long voluntary = 0, involuntary = 0;
};

bool MakeSampleImage(const Options& o, const std::string& path, std::size_t bytes,
                     std::string& error) {
    ChildOptions c;
    c.argv = {o.bin + "/vumo-sample-image", "--location", "1", "--size", std::to_string(bytes), path};
    auto child = Child::Spawn(c, error);
    if (!child) return false;
    const auto exit = child->Wait(Clock::now() + 30s);
    if (!exit.succeeded()) error = "vumo-sample-image: " + exit.describe();
    return exit.succeeded();
}

UpdateRun RunUpdate(const Options& o, const std::string& image, const std::string& simulate,
                    const std::string& scratch) {
    UpdateRun run;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-dfu", "update", image, simulate, "--json"};
    c.stdoutPath = scratch + "/update.json";
    c.stderrPath = scratch + "/update.log";
    auto child = Child::Spawn(c, run.error);
    if (!child) return run;
    const auto exit = child->Wait(Clock::now() + kUpdateLimit);
    std::ifstream json(c.stdoutPath);
    std::stringstream text;
    text << json.rdbuf();
    if (!exit.succeeded() || text.str().find("\"outcome\": \"ok\"") == std::string::npos) {
        run.error = "vumo-dfu update " + simulate + ": " + exit.describe() + " " + text.str();
        while (!run.error.empty() && run.error.back() == '\n') run.error.pop_back();
        return run;
    }
    run.wall = Seconds(exit.wall);
    run.cpu = Seconds(exit.usage.ru_utime) + Seconds(exit.usage.ru_stime);
    run.maxRssMiB = static_cast<double>(exit.usage.ru_maxrss) / 1024;
    run.voluntary = exit.usage.ru_nvcsw;
    run.involuntary = exit.usage.ru_nivcsw;
    return run;
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

// --- The window --------------------------------------------------------------------------

const std::vector<std::string> kOffscreen = {"QT_QPA_PLATFORM=offscreen"};

struct Idle {
    std::string error;
    double perSecond = kNaN;
    WakeDelta delta;
};

Idle MeasureIdle(pid_t pid, double seconds) {
    Idle idle;
    const auto before = ReadThreadSwitches(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = ReadThreadSwitches(pid);
    const double elapsed = Seconds(Clock::now() - start);
    if (before.empty() || after.empty()) {
        idle.error = "the program's threads could not be read";
        return idle;
    }
    idle.delta = Difference(before, after);
    idle.perSecond = static_cast<double>(idle.delta.switches) / elapsed;
    return idle;
}

std::optional<long long> ReportValue(Child& child, const std::string& key,
                                     Clock::time_point deadline) {
    while (auto line = child.ReadReportLine(deadline)) {
        if (line->rfind(key + " ", 0) != 0) continue;
        long long value = 0;
        if (Number(std::string_view(*line).substr(key.size() + 1), value)) return value;
    }
    return std::nullopt;
}

long long SteadyNs(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

struct Paint {
    std::string error;
    double toPaintMs = kNaN;  // spawn -> first frame painted
    double mainToPaintMs = kNaN;
};

Paint MeasureFirstPaint(const Options& o, const std::string& scratch) {
    Paint p;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-bench-window", "--simulate"};
    c.env = kOffscreen;
    c.stdinPipe = c.reportPipe = true;
    c.stderrPath = scratch + "/window.log";
    auto child = Child::Spawn(c, p.error);
    if (!child) return p;
    const auto deadline = Clock::now() + kWindowLimit;
    const auto main = ReportValue(*child, "main", deadline);
    const auto painted = ReportValue(*child, "painted", deadline);
    child->CloseStdin();
    const auto exit = child->Wait(Clock::now() + kWindowLimit);
    if (!main || !painted) {
        p.error = "the window reported no first paint (" + exit.describe() + ")";
        return p;
    }
    if (!exit.succeeded()) {
        p.error = "the window did not close cleanly: " + exit.describe();
        return p;
    }
    p.toPaintMs = static_cast<double>(*painted - SteadyNs(child->started())) / 1e6;
    p.mainToPaintMs = static_cast<double>(*painted - *main) / 1e6;
    return p;
}

Idle IdleNothingOpen(const Options& o, const std::string& scratch) {
    Idle idle;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-dfu-utility", "--simulate"};
    c.env = kOffscreen;
    c.stderrPath = scratch + "/utility.log";
    auto child = Child::Spawn(c, idle.error);
    if (!child) return idle;
    // Start-up is over long before this.
    std::this_thread::sleep_for(o.shortMode ? 1s : 3s);
    idle = MeasureIdle(child->pid(), o.idleSeconds);
    child->Signal(SIGTERM);
    const auto exit = child->Wait(Clock::now() + kWindowLimit);
    if (idle.error.empty() && exit.timedOut) idle.error = "vumo-dfu-utility did not end on SIGTERM";
    if (idle.error.empty() && WIFEXITED(exit.status))
        idle.error = "vumo-dfu-utility ended during the measurement (" + exit.describe() + ")";
    return idle;
}

Idle IdleDeviceOpen(const Options& o, const std::string& scratch) {
    Idle idle;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-bench-window", "--simulate=dfu"};
    c.env = kOffscreen;
    c.env.push_back("VUMO_BENCH_OPEN=1");
    c.stdinPipe = c.reportPipe = true;
    c.stderrPath = scratch + "/window-open.log";
    auto child = Child::Spawn(c, idle.error);
    if (!child) return idle;
    const auto mode = ReportValue(*child, "open", Clock::now() + kWindowLimit);
    if (!mode || *mode == 0) {
        idle.error = "the window could not open the simulated device";
        return idle;
    }
    std::this_thread::sleep_for(1s);
    idle = MeasureIdle(child->pid(), o.idleSeconds);
    child->CloseStdin();
    const auto exit = child->Wait(Clock::now() + kWindowLimit);
    if (idle.error.empty() && !exit.succeeded())
        idle.error = "the window did not close cleanly: " + exit.describe();
    return idle;
}

std::string IdleText(const Idle& idle) {
    return Fixed(idle.perSecond, 2) + " /s (" + std::to_string(idle.delta.switches) +
           " switches, " + std::to_string(idle.delta.threads) + " threads)";
}

// --- The page ------------------------------------------------------------------------------

int Run(const Options& o, int benchArgc, char** benchArgv) {
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
    std::vector<LoadSpan> loads;
    bool failed = false;

    char scratchTemplate[] = "/tmp/vumo-bench.XXXXXX";
    if (::mkdtemp(scratchTemplate) == nullptr) {
        std::perror("vumo-bench: mkdtemp");
        return 1;
    }
    const std::string scratch = scratchTemplate;
    struct RemoveScratch {
        std::string path;
        ~RemoveScratch() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } removeScratch{scratch};

    const std::size_t imageBytes = o.shortMode ? kShortImageBytes : kFullImageBytes;
    const std::uint32_t blocks = static_cast<std::uint32_t>(imageBytes / 128 + 1);
    const std::string blocksText = std::to_string(blocks) + "-block";

    Figure cpuRatio("CPU time (user + sys) / wall time of a whole " + blocksText +
                        " update, application-mode path",
                    "≤ 0.02", 0.02);
    Figure floorRatio("Update wall time / pacing floor, reply delay 0", "≤ 1.02", 1.02);
    Figure turn("Reply received at the transport → next report written, fixed pauses excluded",
                "≤ 100 µs median", 100);
    Figure idleNothing("Wake-ups per second of an idle `vumo-dfu-utility`, nothing open", "≤ 1", 1);
    Figure idleOpen("The same with a device open and silent", "≤ 3", 3);
    Figure paint("Window start → first paint, offscreen", "≤ 100 ms", 100);
    Figure load("Check + load + block CRCs of a 131,071-byte image, the tool's run excluded",
                "≤ 5 ms", 5);
    Figure rss("Peak resident memory of `vumo-dfu update` over a " + blocksText + " update",
               "≤ 20 MiB", 20);
    Figure listener("Context: wake-ups per second of a device object open on a silent device, "
                    "in-process (the listener and the simulated device alone)",
                    "");
    Figure fromDevice("Context: reply handed to the bus by the device → next report written, "
                      "pauses excluded",
                      "");

    // Micro-benchmarks and the in-process conversation.
    if (o.parts.contains("micro")) {
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
        if (benchmark::ReportUnrecognizedArguments(argc, argv.data())) return 2;
        CapturingReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        report.micro = MicroRows(reporter);

        load.how = "Google Benchmark `" + std::string(kCheckLoadCrcCase) +
                   "`: `LoadImageFile` + `CommitImage` (zero fill, copy, 1024 CRCs) of a raw "
                   "file in the page cache; median of 5 repetitions";
        if (const auto* r = reporter.Find(kCheckLoadCrcCase)) {
            load.measured = ToMilliseconds(r->GetAdjustedRealTime(), r->time_unit);
            load.measuredText = Fixed(load.measured, 3) + " ms";
            if (const auto* hex = reporter.Find("BM_LoadAndCommitImage/hex"))
                load.measuredText += " (Intel HEX: " +
                                     Fixed(ToMilliseconds(hex->GetAdjustedRealTime(), hex->time_unit), 2) +
                                     " ms)";
        } else {
            load.error = reporter.ErrorOf(kCheckLoadCrcCase);
        }

        turn.how = "Google Benchmark `" + std::string(kConversationCase) +
                   "`: whole 1024-block updates in-process on the simulated bus (update-mode "
                   "path, CountingPacer, a front end that shows nothing); the device answers "
                   "after 1 ms, so the worker is asleep when each reply comes; the transport is "
                   "wrapped: its read stamps the reply as it comes out, its write stamps the "
                   "next report; median of all turns of 5 updates";
        fromDevice.how = "the same runs, stamped when the emulated device hands the reply to "
                         "the bus (adds the bus's hand-over to the listener thread)";
        const auto counter = [](const benchmark::BenchmarkReporter::Run* r, const char* name) {
            if (r == nullptr) return kNaN;
            const auto it = r->counters.find(name);
            return it == r->counters.end() ? kNaN : it->second.value;
        };
        if (const auto* r = reporter.Find(kConversationCase)) {
            turn.measured = counter(r, "turn_median_us");
            turn.measuredText = Fixed(turn.measured, 1) + " µs (p99 " +
                                Fixed(counter(r, "turn_p99_us"), 1) + " µs, max " +
                                Fixed(counter(r, "turn_max_us"), 0) + " µs; " +
                                Fixed(counter(r, "turns"), 0) + " turns)";
            if (const auto* now = reporter.Find(kConversationNoDelayCase))
                turn.measuredText += "; device answering at once: " +
                                     Fixed(counter(now, "turn_median_us"), 1) + " µs (p99 " +
                                     Fixed(counter(now, "turn_p99_us"), 1) + " µs)";
            fromDevice.measured = counter(r, "from_device_median_us");
            fromDevice.measuredText = Fixed(fromDevice.measured, 1) + " µs (p99 " +
                                      Fixed(counter(r, "from_device_p99_us"), 1) + " µs)";
        } else {
            turn.error = fromDevice.error = reporter.ErrorOf(kConversationCase);
        }
    }

    // Whole updates as the user runs them.
    if (o.parts.contains("update")) {
        std::fprintf(stderr, "vumo-bench: pacing floor\n");
        const auto bytes = SampleImage(imageBytes);
        const auto updateFloor = RunCountedUpdate(false, bytes, nullptr);
        const auto appFloor = RunCountedUpdate(true, bytes, nullptr);
        const std::string image = scratch + "/firmware.bin";
        std::string error;
        if (!MakeSampleImage(o, image, imageBytes, error)) {
            cpuRatio.error = floorRatio.error = rss.error = error;
        } else {
            WaitForLowLoad(o, report.conditions);
            std::vector<UpdateRun> appRuns, dfuRuns;
            LoadSpan appLoad{"update, application mode", LoadAverage()};
            for (int i = 0; i < o.runs; ++i) {
                std::fprintf(stderr, "vumo-bench: update from application mode, run %d of %d\n",
                             i + 1, o.runs);
                appRuns.push_back(RunUpdate(o, image, "--simulate", scratch));
            }
            appLoad.after = LoadAverage();
            LoadSpan dfuLoad{"update, update mode", LoadAverage()};
            for (int i = 0; i < o.runs; ++i) {
                std::fprintf(stderr, "vumo-bench: update from update mode, run %d of %d\n", i + 1,
                             o.runs);
                dfuRuns.push_back(RunUpdate(o, image, "--simulate=dfu,reply-delay=0", scratch));
            }
            dfuLoad.after = LoadAverage();
            loads.push_back(appLoad);
            loads.push_back(dfuLoad);

            const auto firstError = [](const std::vector<UpdateRun>& runs) {
                for (const auto& r : runs)
                    if (!r.error.empty()) return r.error;
                return std::string();
            };
            const std::string runsText = std::to_string(o.runs) + (o.runs == 1 ? " run" : " runs");
            cpuRatio.how = "`vumo-dfu update FILE --simulate --json` as a child: CPU from wait4's "
                           "rusage (its threads and the checksum tool it ran), wall from spawn "
                           "to exit; includes the 10 s after the device's return and its 1 s off "
                           "the bus; median of " + runsText;
            rss.how = "`ru_maxrss` of the same runs (what `/usr/bin/time -v` reports); median";
            if (auto e = firstError(appRuns); !e.empty()) {
                cpuRatio.error = rss.error = e;
            } else {
                std::vector<double> ratios, cpu, wall, memory, switches;
                for (const auto& r : appRuns) {
                    ratios.push_back(r.cpu / r.wall);
                    cpu.push_back(r.cpu);
                    wall.push_back(r.wall);
                    memory.push_back(r.maxRssMiB);
                    switches.push_back(static_cast<double>(r.voluntary + r.involuntary));
                }
                cpuRatio.measured = Median(ratios);
                cpuRatio.measuredText = Fixed(cpuRatio.measured, 4) + " (CPU " +
                                        Fixed(Median(cpu), 3) + " s of " + Fixed(Median(wall), 2) +
                                        " s; " + Fixed(Median(switches), 0) +
                                        " context switches)";
                rss.measured = Median(memory);
                rss.measuredText = Fixed(rss.measured, 1) + " MiB (largest " +
                                   Fixed(Maximum(memory), 1) + " MiB)";
            }

            floorRatio.how =
                "`vumo-dfu update FILE --simulate=dfu,reply-delay=0 --json` as a child, spawn to "
                "exit (process start, checksum tool and exit included); the floor is the sum of "
                "the pauses the procedure asks for, counted by a CountingPacer in an in-process "
                "update of the same image (1 + 1 ms, 10 ms before each of the 4 commands and the "
                "start, 10 ms before and after each block, 10 ms before the end); median of " +
                runsText;
            if (!updateFloor.ok) {
                floorRatio.error = "pacing floor: " + updateFloor.error;
            } else if (auto e = firstError(dfuRuns); !e.empty()) {
                floorRatio.error = e;
            } else {
                std::vector<double> wall;
                for (const auto& r : dfuRuns) wall.push_back(r.wall);
                const double floor = static_cast<double>(updateFloor.pauses.count()) / 1000;
                floorRatio.measured = Median(wall) / floor;
                floorRatio.measuredText = Fixed(floorRatio.measured, 4) + " (" +
                                          Fixed(Median(wall), 3) + " s / " + Fixed(floor, 3) +
                                          " s floor)";
                if (appFloor.ok)
                    floorRatio.measuredText += "; application-mode floor " +
                                               Fixed(static_cast<double>(appFloor.pauses.count()) / 1000, 3) +
                                               " s";
            }
        }
    }

    // The window.
    if (o.parts.contains("window")) {
        const bool haveProbe = fs::exists(o.bin + "/vumo-bench-window");
        const bool haveUtility = fs::exists(o.bin + "/vumo-dfu-utility");
        WaitForLowLoad(o, report.conditions);
        LoadSpan windowLoad{"window", LoadAverage()};
        const std::string seconds = Fixed(o.idleSeconds, 0) + " s";
        idleNothing.how = "`vumo-dfu-utility --simulate`, QT_QPA_PLATFORM=offscreen, left alone "
                          "after start-up: voluntary + involuntary context switches of all its "
                          "threads (`/proc/PID/task/*/status`) over " + seconds;
        if (!haveUtility) {
            idleNothing.error = "vumo-dfu-utility was not built";
        } else {
            std::fprintf(stderr, "vumo-bench: idle window\n");
            const auto idle = IdleNothingOpen(o, scratch);
            idleNothing.error = idle.error;
            idleNothing.measured = idle.perSecond;
            idleNothing.measuredText = IdleText(idle);
        }
        idleOpen.how = "the same program with a probe (`vumo-bench-window`, the same application "
                       "object; the window has no other way to be told to open a device) started "
                       "with `--simulate=dfu`, which presses Open on the first device after the "
                       "first paint; all threads over " + seconds;
        paint.how = "`vumo-bench-window --simulate`, offscreen: spawn → the first frame of the "
                    "window is painted (reported by the probe on a pipe, CLOCK_MONOTONIC); "
                    "median of " + std::to_string(o.paintRuns) + " starts";
        if (!haveProbe) {
            idleOpen.error = paint.error = "the window was not built";
        } else {
            std::fprintf(stderr, "vumo-bench: idle window with a device open\n");
            const auto idle = IdleDeviceOpen(o, scratch);
            idleOpen.error = idle.error;
            idleOpen.measured = idle.perSecond;
            idleOpen.measuredText = IdleText(idle);

            std::vector<double> toPaint, mainToPaint;
            for (int i = 0; i < o.paintRuns && paint.error.empty(); ++i) {
                std::fprintf(stderr, "vumo-bench: first paint, run %d of %d\n", i + 1, o.paintRuns);
                const auto p = MeasureFirstPaint(o, scratch);
                paint.error = p.error;
                toPaint.push_back(p.toPaintMs);
                mainToPaint.push_back(p.mainToPaintMs);
            }
            if (paint.error.empty()) {
                paint.measured = Median(toPaint);
                paint.measuredText = Fixed(paint.measured, 1) + " ms (of which " +
                                     Fixed(Median(mainToPaint), 1) + " ms from main(); slowest " +
                                     Fixed(Maximum(toPaint), 1) + " ms)";
            }
        }
        windowLoad.after = LoadAverage();
        loads.push_back(windowLoad);

        listener.how = "a DfuDevice open on a simulated update-mode device that never speaks, in "
                       "this process; every thread but the measuring one, over " + seconds;
        std::fprintf(stderr, "vumo-bench: silent device, in-process\n");
        const auto silent =
            MeasureSilentOpenDevice(std::chrono::milliseconds(std::llround(o.idleSeconds * 1000)));
        listener.error = silent.error;
        listener.measured = silent.ok ? silent.perSecond : kNaN;
        listener.measuredText = Fixed(silent.perSecond, 2) + " /s (" +
                                std::to_string(silent.threads) + " threads)";
    }

    if (!loads.empty()) report.conditions.push_back(LoadLine(loads));
    for (Figure* f : {&cpuRatio, &floorRatio, &turn, &idleNothing, &idleOpen, &paint, &load, &rss,
                      &listener, &fromDevice}) {
        const bool asked = (f == &load || f == &turn || f == &fromDevice)
                               ? o.parts.contains("micro")
                           : (f == &cpuRatio || f == &floorRatio || f == &rss)
                               ? o.parts.contains("update")
                               : o.parts.contains("window");
        if (!asked) {
            if (f->target.empty()) continue;
            f->error = "not run";
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
    for (const auto& f : report.figures)
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
