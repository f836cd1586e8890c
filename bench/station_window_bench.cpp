// vumo-bench-station: what the station window costs, in process on the offscreen platform.
//   idle     the window with nothing connected, the station started and waiting: wake-ups of
//            every thread of the program over 10 s, after the caret's blink has stopped
//   running  8 simulated devices flashed at once with the product's pauses and a 1024-block
//            image: over 10 s of their upload, the CPU time of the window's thread and the
//            paints of each tile
// Prints one line per figure, KEY VALUE, for docs/performance.md.
// Usage: vumo-bench-station
// The file check is not what is measured: a stand-in tool accepts the image.

#include "app/caret_blink.h"
#include "app/station_tile.h"
#include "app/station_window.h"
#include "proc_stats.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vumo::app::StationTile;
using vumo::app::StationWindow;

// Runs the event loop for `ms` with one timer; QTest::qWait would poll every 10 ms itself.
void Wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double MonotonicSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

QString WriteTool(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("checksum"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write("#!/bin/sh\necho 'Adding 0x10008000'\necho 'Adding 0x1a020000'\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString WriteImage(const QTemporaryDir& dir) {
    // 1024 blocks: the largest image.
    std::vector<char> bytes(vumo::image::kMaxImageBytes);
    std::mt19937 rng(3);
    for (auto& b : bytes) b = static_cast<char>(rng());
    bytes[0] = 0;
    const QString path = dir.filePath(QStringLiteral("firmware.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    return path;
}

vumo::app::StationWindowOptions Options(const QTemporaryDir& dir) {
    vumo::app::StationWindowOptions o;
    o.prepare.toolPath = WriteTool(dir).toStdString();
    o.logPath = dir.filePath(QStringLiteral("flash.jsonl"));
    o.applicationName = QStringLiteral("vumo-bench-station");
    // The product's pauses, but a short settle after the mode switch: it only delays the
    // upload that is measured.
    o.pauses.settlePasses = 1;
    return o;
}

bool ShowAndStart(StationWindow& window, const QTemporaryDir& dir) {
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return false;
    if (!window.ChooseFirmware(WriteImage(dir)) || !window.OnStartClicked()) {
        std::fprintf(stderr, "the station did not start: %s\n",
                     window.verdictText().toLocal8Bit().constData());
        return false;
    }
    return true;
}

bool Idle(const QTemporaryDir& dir) {
    vumo::sim::SimHidBus bus;
    StationWindow window(bus, Options(dir));
    if (!ShowAndStart(window, dir)) return false;
    // Past the caret's blink, which stops after 10 s without input.
    Wait(static_cast<int>(vumo::app::kCaretBlinkTimeout.count()) + 1500);
    const auto before = vumo::bench::ReadThreadSwitches(::getpid());
    const double start = MonotonicSeconds();
    Wait(10'000);
    const double seconds = MonotonicSeconds() - start;
    const auto delta = vumo::bench::Difference(before, vumo::bench::ReadThreadSwitches(::getpid()));
    // The wait above is one timer of its own: it is the measurement, not the window.
    std::printf("idle_wakeups_per_s %.2f\nidle_switches %llu\nidle_threads %d\n",
                static_cast<double>(delta.switches) / seconds,
                static_cast<unsigned long long>(delta.switches), delta.threads);
    window.OnStopClicked();
    const bool stopped = QTest::qWaitFor([&] { return !window.running(); }, 10'000);
    window.close();
    return stopped;
}

bool Running(const QTemporaryDir& dir) {
    constexpr int kDevices = 8;
    vumo::sim::SimHidBus bus;
    vumo::platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<vumo::sim::DeviceEmulator>> devices;
    StationWindow window(bus, Options(dir));
    window.resize(1400, 900);
    if (!ShowAndStart(window, dir)) return false;
    for (int i = 0; i < kDevices; ++i) {
        vumo::sim::EmulatorConfig config;
        config.serial = "BENCH-" + std::to_string(i + 1);
        config.port = "bench-" + std::to_string(i + 1);
        config.returnDelay = 100ms;
        devices.push_back(std::make_unique<vumo::sim::DeviceEmulator>(port, config));
    }
    const auto uploading = [&] {
        const auto tiles = window.tiles();
        return static_cast<int>(tiles.size()) == kDevices &&
               std::all_of(tiles.begin(), tiles.end(), [](const StationTile* t) {
                   return t->progress() > 0 && t->state() == StationTile::State::running;
               });
    };
    if (!QTest::qWaitFor(uploading, 60'000)) {
        std::fprintf(stderr, "the devices did not all reach their upload\n");
        return false;
    }
    std::vector<int> paintsBefore;
    for (const StationTile* t : window.tiles()) paintsBefore.push_back(t->paintCount());
    const double cpuStart = ThreadCpuSeconds();
    const double start = MonotonicSeconds();
    Wait(10'000);
    const double seconds = MonotonicSeconds() - start;
    const double cpu = ThreadCpuSeconds() - cpuStart;
    double maxRate = 0, sumRate = 0;
    int index = 0;
    bool allRunning = true;
    for (const StationTile* t : window.tiles()) {
        const double rate =
            (t->paintCount() - paintsBefore[static_cast<std::size_t>(index++)]) / seconds;
        maxRate = std::max(maxRate, rate);
        sumRate += rate;
        allRunning = allRunning && t->state() == StationTile::State::running;
    }
    std::printf(
        "running_devices %d\nrunning_all_still_uploading %d\n"
        "running_gui_cpu_percent %.2f\nrunning_tile_paints_per_s_max %.2f\n"
        "running_tile_paints_per_s_mean %.2f\nrunning_seconds %.2f\n",
        kDevices, allRunning ? 1 : 0, 100.0 * cpu / seconds, maxRate, sumRate / kDevices, seconds);
    // Stopped as the user would; every thread is joined before the devices go.
    window.messageBoxes().SetAnswerAll(true);
    window.OnStopClicked();
    window.OnStopClicked();
    const bool stopped = QTest::qWaitFor([&] { return !window.running(); }, 30'000);
    if (!stopped) std::fprintf(stderr, "the station did not stop\n");
    window.close();
    return stopped;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    if (argc != 1) {
        std::fprintf(stderr, "usage: vumo-bench-station\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const vumo::app::CaretBlinkLimit caretBlink;
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;
    const bool ok = Idle(dir) && Running(dir);
    return ok ? 0 : 1;
}
