#include "station64.h"

#include "cli/station_console.h"
#include "protocol/reports.h"
#include "sim/simulate_options.h"
#include "stats.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace vumo::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kDevices = sim::kMaxSimulatedDevices;
constexpr std::size_t kFullImageBytes = 131'071;        // 1024 blocks
constexpr std::size_t kShortImageBytes = 16 * 128 - 1;  // 16 blocks
// 64 devices at once on a small shared machine: generous, still bounded.
constexpr auto kStationLimit = 10min;
constexpr int kRedrawBatches = 7;
constexpr int kRedrawsPerBatch = 200;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// The pseudo-terminal a station run writes its display to: the master is drained on a thread
// of its own, so the station never blocks on a full terminal, and everything it wrote is kept.
class Terminal {
public:
    bool Open(std::string& error) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0) {
            error = "no pseudo-terminal for the station's display";
            return false;
        }
        path_ = name;
        // Held open by us as well: a master whose slave nobody holds reads as ended.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            error = "can't open " + path_;
            return false;
        }
        reader_ = std::thread([this] { Drain(); });
        return true;
    }
    const std::string& path() const { return path_; }
    // After the child has ended: what it wrote, up to the last byte.
    std::string Finish() {
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
        stop_.store(true);
        if (reader_.joinable()) reader_.join();
        return std::move(text_);
    }
    ~Terminal() {
        Finish();
        if (master_ >= 0) ::close(master_);
    }

private:
    void Drain() {
        char buffer[65536];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            const int n = ::poll(&p, 1, 100);
            if (n == 0) {
                if (stop_.load()) return;
                continue;
            }
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) return;  // EIO once the last slave is closed and all is read
            text_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string text_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

struct TerminalRun {
    std::string error;
    double wall = 0, cpu = 0, maxRssMiB = 0;
    long switches = 0;
    double bytes = 0;
    int redraws = 0;
};

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// `vumo-dfu station IMAGE --simulate=devices=N --count N --pacing PACING` with its standard
// output on a terminal, as an operator runs it: the live display, not --json.
TerminalRun RunOnTerminal(const Programs& programs, const std::string& image, int devices,
                          const char* pacing) {
    TerminalRun run;
    Terminal terminal;
    if (!terminal.Open(run.error)) return run;
    ChildOptions c;
    c.argv = {programs.bin + "/vumo-dfu", "station", image,
              "--simulate=devices=" + std::to_string(devices), "--count",
              std::to_string(devices), "--pacing", pacing};
    c.stdoutPath = terminal.path();
    c.stderrPath = programs.scratch + "/station64.log";
    auto child = Child::Spawn(c, run.error);
    if (!child) return run;
    const auto exit = child->Wait(Clock::now() + kStationLimit);
    const std::string shown = terminal.Finish();
    const std::string summary = std::to_string(devices) + " ok, 0 failed";
    if (!exit.succeeded() || shown.find(summary) == std::string::npos) {
        const auto last = shown.rfind("\x1b[J");
        run.error = "vumo-dfu station --simulate=devices=" + std::to_string(devices) +
                    " --pacing " + pacing + ": " + exit.describe() + "; it showed last: " +
                    (last == std::string::npos ? shown : shown.substr(last + 3, 400));
        return run;
    }
    run.wall = Seconds(exit.wall);
    run.cpu = Seconds(exit.usage.ru_utime) + Seconds(exit.usage.ru_stime);
    run.maxRssMiB = static_cast<double>(exit.usage.ru_maxrss) / 1024;
    run.switches = exit.usage.ru_nvcsw + exit.usage.ru_nivcsw;
    run.bytes = static_cast<double>(shown.size());
    // Every redraw, and the summary, begins by clearing below the first running line.
    run.redraws = static_cast<int>(Occurrences(shown, "\r\x1b[J")) - 1;
    return run;
}

struct Paced {
    std::vector<TerminalRun> many, one;
    std::string error;
    template <class F>
    double Median64(F value) const {
        std::vector<double> v;
        for (const auto& r : many) v.push_back(value(r));
        return Median(v);
    }
};

// 64 devices and one, interleaved, so that a change of load falls on both alike.
Paced RunPaced(const Programs& programs, const std::string& image, int runs, const char* pacing) {
    Paced out;
    for (int i = 0; i < runs && out.error.empty(); ++i) {
        std::fprintf(stderr, "vumo-bench: bench of %d, %s pacing, run %d of %d\n", kDevices,
                     pacing, i + 1, runs);
        out.many.push_back(RunOnTerminal(programs, image, kDevices, pacing));
        std::fprintf(stderr, "vumo-bench: bench of 1, %s pacing, run %d of %d\n", pacing, i + 1,
                     runs);
        out.one.push_back(RunOnTerminal(programs, image, 1, pacing));
        for (const auto* r : {&out.many.back(), &out.one.back()})
            if (!r->error.empty()) out.error = r->error;
    }
    return out;
}

// A stream that only counts what is written to it: the display's formatting without a
// terminal's own cost.
ssize_t CountBytes(void* cookie, const char*, size_t size) {
    *static_cast<double*>(cookie) += static_cast<double>(size);
    return static_cast<ssize_t>(size);
}

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct RedrawCost {
    std::string error;
    double microseconds = kNaN;  // wall per redraw, median of the batches
    double cpuMicroseconds = kNaN;
    double bytes = kNaN;  // per redraw
};

// The station's terminal display with 64 devices half-way through their upload, redrawn in
// this thread as the front end's thread redraws it.
RedrawCost MeasureRedraw() {
    RedrawCost cost;
    double written = 0;
    std::FILE* sink = ::fopencookie(&written, "w", {nullptr, CountBytes, nullptr, nullptr});
    if (sink == nullptr) {
        cost.error = "fopencookie failed";
        return cost;
    }
    {
        cli::StationConsole console(cli::StationView::terminal, sink, sink, nullptr);
        for (int i = 0; i < kDevices; ++i) {
            station::StationDevice d;
            d.id = i + 1;
            d.serial = sim::SimulatedSerial(i);
            d.port = sim::SimulatedPort(i);
            d.path = "/dev/hidraw" + std::to_string(i);
            d.modeAtStart = protocol::kModeApplication;
            console.DeviceArrived(d);
            console.PhaseChanged(d, update::Phase::uploading, static_cast<std::uint32_t>(16 * i),
                                 1024);
        }
        console.Redraw();
        std::vector<double> wall, cpu, bytes;
        for (int b = 0; b < kRedrawBatches; ++b) {
            const double before = written;
            const double cpuBefore = ThreadCpuSeconds();
            const auto start = Clock::now();
            for (int r = 0; r < kRedrawsPerBatch; ++r) console.Redraw();
            wall.push_back(Seconds(Clock::now() - start) * 1e6 / kRedrawsPerBatch);
            cpu.push_back((ThreadCpuSeconds() - cpuBefore) * 1e6 / kRedrawsPerBatch);
            bytes.push_back((written - before) / kRedrawsPerBatch);
        }
        cost.microseconds = Median(wall);
        cost.cpuMicroseconds = Median(cpu);
        cost.bytes = Median(bytes);
    }
    std::fclose(sink);
    return cost;
}

}  // namespace

Section Station64Section(const Station64Setup& setup, const Programs& programs, bool& failed) {
    const std::size_t imageBytes = setup.shortMode ? kShortImageBytes : kFullImageBytes;
    const std::string blocksText = std::to_string(imageBytes / 128 + 1) + "-block";
    const std::string runsText = std::to_string(setup.runs) + (setup.runs == 1 ? " run" : " runs");
    const std::string n = std::to_string(kDevices);

    Section section;
    section.title = "A bench of 64";
    section.intro =
        "`vumo-dfu station` flashing " + n + " simulated devices at once from application mode "
        "(the most `--simulate=devices=N` gives), with its standard output on a "
        "pseudo-terminal as an operator runs it, so the live display (one line per device, "
        "redrawn at most ten times a second) is part of what is measured. The wall times are "
        "held against the same station flashing one device, run by run, interleaved. The " +
        n + " emulated devices run inside the measured process, each with its timer thread, "
        "so its CPU time includes theirs; a real bench's devices cost the host nothing. This "
        "part alone, about four minutes: `build/bench/bin/vumo-bench --parts station64 "
        "--station64-notes bench/station64-notes.md --output OUT.md` (`--short` instead for "
        "the seconds-long run CI makes: fast pacing only, a 16-block image).";

    Figure scaleStandard("Standard pacing, " + blocksText + " image: wall(" + n + " devices) / "
                         "wall(1 device)", "≤ 1.3", 1.3);
    Figure cpuStandard("CPU / wall of the `vumo-dfu station` process flashing " + n +
                       " devices, standard pacing", "≤ 0.10", 0.10);
    Figure scaleFast("Fast pacing, the same: wall(" + n + ") / wall(1)");
    Figure cpuFast("CPU / wall of the station process, " + n + " devices, fast pacing");
    Figure redraw("Terminal display: one redraw of " + n + " live lines");
    Figure bytes("Terminal display: bytes written per second over a whole run of " + n +
                 " devices");

    const std::string command = "`vumo-dfu station FILE --simulate=devices=N --count N "
                                "--pacing P`, standard output on a pseudo-terminal drained by "
                                "the bench, spawn to exit";
    scaleStandard.how = command + " (mode switch, 1 s off the bus, the 10 s settle, the upload, "
                        "the confirmed restart of every device); median wall of " + runsText +
                        " each";
    cpuStandard.how = "wait4's rusage of the " + n + "-device runs (every thread of the station, "
                      "its display, the emulated devices and the checksum tool) over their wall "
                      "time; median";
    scaleFast.how = command + " with `--pacing fast`; median of " + runsText + " each";
    cpuFast.how = "the same for the fast runs";
    redraw.how = "`StationConsole::Redraw` in this process, terminal view, " + n + " devices "
                 "uploading, written to a stream that only counts bytes; wall and thread CPU "
                 "time per redraw, median of " + std::to_string(kRedrawBatches) + " batches of " +
                 std::to_string(kRedrawsPerBatch);
    bytes.how = "everything the " + n + "-device runs wrote to the pseudo-terminal over their "
                "wall time; redraws counted by their clear-to-end sequence";

    const auto finish = [&] {
        AddFigures(section, {&scaleStandard, &cpuStandard, &scaleFast, &cpuFast, &redraw, &bytes},
                   failed);
        return section;
    };

    std::fprintf(stderr, "vumo-bench: station display redraw, in-process\n");
    const RedrawCost cost = MeasureRedraw();
    redraw.error = cost.error;
    redraw.measured = cost.microseconds;
    redraw.measuredText = Fixed(cost.microseconds, 1) + " µs (CPU " +
                          Fixed(cost.cpuMicroseconds, 1) + " µs; " + Fixed(cost.bytes, 0) +
                          " bytes a redraw)";

    const std::string image = programs.scratch + "/station64-firmware.bin";
    std::string error;
    if (!MakeSampleImage(programs, image, imageBytes, error)) {
        for (Figure* f : {&scaleStandard, &cpuStandard, &scaleFast, &cpuFast, &bytes})
            f->error = error;
        return finish();
    }

    const auto fill = [&](const Paced& paced, Figure& scale, Figure& cpu) {
        if (!paced.error.empty()) {
            scale.error = cpu.error = paced.error;
            return;
        }
        std::vector<double> oneWall;
        for (const auto& r : paced.one) oneWall.push_back(r.wall);
        const double wall = paced.Median64([](const TerminalRun& r) { return r.wall; });
        scale.measured = wall / Median(oneWall);
        scale.measuredText = Fixed(scale.measured, 3) + " (" + Fixed(wall, 2) + " s / " +
                             Fixed(Median(oneWall), 2) + " s)";
        cpu.measured = paced.Median64([](const TerminalRun& r) { return r.cpu / r.wall; });
        cpu.measuredText =
            Fixed(cpu.measured, 3) + " (CPU " +
            Fixed(paced.Median64([](const TerminalRun& r) { return r.cpu; }), 2) + " s of " +
            Fixed(wall, 2) + " s; " +
            Fixed(paced.Median64([](const TerminalRun& r) { return static_cast<double>(r.switches); }), 0) +
            " context switches; peak memory " +
            Fixed(paced.Median64([](const TerminalRun& r) { return r.maxRssMiB; }), 1) + " MiB)";
    };
    const auto fillBytes = [&](const Paced& paced, const char* pacing) {
        if (!paced.error.empty()) {
            bytes.error = paced.error;
            return;
        }
        bytes.measured = paced.Median64([](const TerminalRun& r) { return r.bytes / r.wall; });
        const double redraws = paced.Median64([](const TerminalRun& r) { return r.redraws / r.wall; });
        bytes.measuredText =
            Fixed(bytes.measured / 1024, 1) + " KiB/s, " + pacing + " pacing (" +
            Fixed(redraws, 1) + " redraws a second; the display's time at " +
            Fixed(cost.microseconds, 0) + " µs a redraw: " +
            Fixed(redraws * cost.microseconds / 1e4, 3) + " % of the wall)";
    };

    if (setup.shortMode) {
        scaleStandard.error = cpuStandard.error = "full run only (standard pacing takes a minute)";
        scaleStandard.skipped = cpuStandard.skipped = true;
    } else {
        const Paced standard = RunPaced(programs, image, setup.runs, "standard");
        fill(standard, scaleStandard, cpuStandard);
        fillBytes(standard, "standard");
    }
    const Paced fast = RunPaced(programs, image, setup.runs, "fast");
    fill(fast, scaleFast, cpuFast);
    if (setup.shortMode) fillBytes(fast, "fast");
    return finish();
}

}  // namespace vumo::bench
