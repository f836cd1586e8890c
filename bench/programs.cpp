#include "programs.h"

#include "stats.h"

#include <signal.h>
#include <sys/wait.h>

#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

namespace vumo::bench {

namespace {

using namespace std::chrono_literals;

constexpr auto kUpdateLimit = 180s;
constexpr auto kWindowLimit = 30s;
const std::vector<std::string> kOffscreen = {"QT_QPA_PLATFORM=offscreen"};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string s = text.str();
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

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
        const std::string_view text = std::string_view(*line).substr(key.size() + 1);
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc{} && end == text.data() + text.size()) return value;
    }
    return std::nullopt;
}

long long SteadyNs(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

bool MakeSampleImage(const Programs& o, const std::string& path, std::size_t bytes,
                     std::string& error, int location) {
    ChildOptions c;
    c.argv = {o.bin + "/vumo-sample-image", "--location", std::to_string(location), "--size",
              std::to_string(bytes), path};
    auto child = Child::Spawn(c, error);
    if (!child) return false;
    const auto exit = child->Wait(Clock::now() + 30s);
    if (!exit.succeeded()) error = "vumo-sample-image: " + exit.describe();
    return exit.succeeded();
}

UpdateRun RunUpdate(const Programs& o, const std::string& image, const std::string& simulate,
                    const std::vector<std::string>& more) {
    UpdateRun run;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-dfu", "update", image, simulate, "--json"};
    c.argv.insert(c.argv.end(), more.begin(), more.end());
    c.stdoutPath = o.scratch + "/update.json";
    c.stderrPath = o.scratch + "/update.log";
    auto child = Child::Spawn(c, run.error);
    if (!child) return run;
    const auto exit = child->Wait(Clock::now() + kUpdateLimit);
    const std::string json = FileText(c.stdoutPath);
    if (!exit.succeeded() || json.find("\"outcome\": \"ok\"") == std::string::npos) {
        std::string command = "vumo-dfu update " + simulate;
        for (const auto& arg : more) command += " " + arg;
        run.error = command + ": " + exit.describe() + " " + json;
        return run;
    }
    run.wall = Seconds(exit.wall);
    run.user = Seconds(exit.usage.ru_utime);
    run.sys = Seconds(exit.usage.ru_stime);
    run.cpu = run.user + run.sys;
    run.maxRssMiB = static_cast<double>(exit.usage.ru_maxrss) / 1024;
    run.voluntary = exit.usage.ru_nvcsw;
    run.involuntary = exit.usage.ru_nivcsw;
    return run;
}

StationRun RunStation(const Programs& o, const std::string& image, const std::string& simulate,
                      int devices) {
    StationRun run;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-dfu", "station", image, simulate, "--count",
              std::to_string(devices), "--json"};
    c.stdoutPath = o.scratch + "/station.jsonl";
    c.stderrPath = o.scratch + "/station.log";
    auto child = Child::Spawn(c, run.error);
    if (!child) return run;
    const auto exit = child->Wait(Clock::now() + kUpdateLimit);
    const std::string events = FileText(c.stdoutPath);
    const std::string summary = "{\"event\": \"summary\", \"ok\": " + std::to_string(devices) +
                                ", \"failed\": 0";
    if (!exit.succeeded() || events.find(summary) == std::string::npos) {
        const auto last = events.rfind('\n');
        run.error = "vumo-dfu station " + simulate + ": " + exit.describe() + " " +
                    (last == std::string::npos ? events : events.substr(last + 1)) + " " +
                    FileText(c.stderrPath);
        return run;
    }
    run.wall = Seconds(exit.wall);
    run.cpu = Seconds(exit.usage.ru_utime) + Seconds(exit.usage.ru_stime);
    run.maxRssMiB = static_cast<double>(exit.usage.ru_maxrss) / 1024;
    run.voluntary = exit.usage.ru_nvcsw;
    run.involuntary = exit.usage.ru_nivcsw;
    return run;
}

std::map<std::string, double> WindowConversation(const Programs& o, const std::string& image,
                                                 std::string& error) {
    std::map<std::string, double> values;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-bench-window", "--bench-conversation", image, o.bin + "/checksum"};
    c.env = kOffscreen;
    c.stdoutPath = o.scratch + "/conversation.txt";
    c.stderrPath = o.scratch + "/conversation.log";
    auto child = Child::Spawn(c, error);
    if (!child) return values;
    const auto exit = child->Wait(Clock::now() + kUpdateLimit);
    if (!exit.succeeded()) {
        error = "the update through the window failed (" + exit.describe() + "): " +
                FileText(c.stderrPath);
        return values;
    }
    std::ifstream out(c.stdoutPath);
    std::string name;
    double value = 0;
    while (out >> name >> value) values[name] = value;
    if (!values.contains("median")) error = "the update through the window reported nothing";
    return values;
}

Paint MeasureFirstPaint(const Programs& o) {
    Paint p;
    ChildOptions c;
    c.argv = {o.bin + "/vumo-bench-window", "--simulate"};
    c.env = kOffscreen;
    c.stdinPipe = c.reportPipe = true;
    c.stderrPath = o.scratch + "/window.log";
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

Idle MeasureWindowIdle(const Programs& o, const WindowIdleSetup& setup) {
    Idle idle;
    ChildOptions c;
    c.argv = {o.bin + (setup.probe ? "/vumo-bench-window" : "/vumo-dfu-utility"), setup.simulate};
    c.env = kOffscreen;
    if (setup.open) c.env.push_back("VUMO_BENCH_OPEN=1");
    if (setup.background) c.env.push_back("VUMO_BENCH_BACKGROUND=1");
    if (!setup.caretBlink) c.env.push_back("VUMO_BENCH_CARET_BLINK=0");
    c.stdinPipe = c.reportPipe = setup.probe;
    c.stderrPath = o.scratch + "/window.log";
    auto child = Child::Spawn(c, idle.error);
    if (!child) return idle;
    if (setup.probe) {
        const auto deadline = Clock::now() + kWindowLimit;
        if (setup.open) {
            const auto mode = ReportValue(*child, "open", deadline);
            if (!mode || *mode == 0) {
                idle.error = "the window could not open the simulated device";
                return idle;
            }
        }
        for (;;) {
            const auto line = child->ReadReportLine(deadline);
            if (!line) {
                idle.error = "the window did not report that it was ready";
                return idle;
            }
            if (*line == "ready") break;
        }
    }
    // What the start-up and the open left behind (a repaint, the first read cycle, the caret's
    // blink) is over by then.
    std::this_thread::sleep_for(o.settle);
    idle = MeasureIdle(child->pid(), o.idleSeconds);
    if (setup.probe)
        child->CloseStdin();
    else
        child->Signal(SIGTERM);
    const auto exit = child->Wait(Clock::now() + kWindowLimit);
    if (!idle.error.empty()) return idle;
    if (exit.timedOut)
        idle.error = "the window did not end when asked to";
    else if (setup.probe && !exit.succeeded())
        idle.error = "the window did not close cleanly: " + exit.describe();
    else if (!setup.probe && WIFEXITED(exit.status))
        idle.error = "the window ended during the measurement (" + exit.describe() + ")";
    return idle;
}

std::string IdleText(const Idle& idle) {
    return Fixed(idle.perSecond, 2) + " /s (" + std::to_string(idle.delta.switches) +
           " switches, " + std::to_string(idle.delta.threads) + " threads)";
}

}  // namespace vumo::bench
