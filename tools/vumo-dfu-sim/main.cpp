// vumo-dfu-sim: puts emulated devices on this machine's real HID stack through /dev/uhid, so that
// the window, the command line or any other HID program can be tried against a device that is
// not there. It runs until Ctrl-C or SIGTERM and tells on stdout what the devices see and do.
// With --replay it plays the device's side of a recording instead of emulating one.

#include "platform/stop_signals.h"
#include "protocol/crc32.h"
#include "protocol/reports.h"
#include "recording/recording.h"
#include "sim/device_emulator.h"
#include "sim/device_player.h"
#include "sim/simulate_options.h"
#include "sim/timer.h"
#include "sim/uhid/uhid_port.h"
#include "text/utf8.h"
#include "vumo/build_config.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace vumo;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitReplayDiffers = 3;  // --replay: the host wrote something else, or less

// A message on stderr, terminal-safe: it may quote a recording or a file name.
void SayError(const std::string& message) {
    std::fputs(("vumo-dfu-sim: " + text::TerminalSafeMessage(message) + "\n").c_str(), stderr);
}

// One line at a time from any thread. Its fields come from recordings, device strings and
// the host's reports: the whole line is made terminal-safe.
class Log {
public:
    __attribute__((format(printf, 2, 3))) void line(const char* format, ...) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        const int length = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, again);
        va_end(again);
        text = text::TerminalSafeMessage(text) + "\n";
        std::lock_guard lock(mutex_);
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
};

const char* ModeName(std::uint16_t productId) {
    return productId == kDfuProductId ? "update mode" : "application mode";
}

// The command a report carries, for the log; empty for blocks and anything else.
std::string DescribeCommand(std::span<const std::uint8_t> r) {
    const auto is = [&r](const auto& built, std::size_t valueAt = 0) {
        if (r.size() != built.size()) return false;
        for (std::size_t i = 0; i < r.size(); ++i)
            if (i != valueAt && r[i] != built[i]) return false;
        return true;
    };
    using namespace protocol;
    if (is(BuildAppModeSwitch(kModeUpdate))) return "switch to update mode";
    if (is(BuildDfuModeSwitch(kModeApplication))) return "restart";
    if (is(BuildReadyQuery())) return "READY?";
    if (is(BuildLocation(0), 9)) return "LOCATION " + std::to_string(r[9]);
    if (is(BuildSize(0), 5)) return "SIZE " + std::to_string(r[5]);
    if (is(BuildStart())) return "DFUSTART";
    if (is(BuildEnd())) return "DFUEND";
    return {};
}

// Sits between the emulators and the uhid port and tells what passes: arrivals, departures and
// the commands the host sends. After DFUEND it hands the device's serial to `uploadEnded`.
class LoggingPort final : public platform::DevicePort {
public:
    LoggingPort(sim::UhidPort& port, Log& log, std::function<void(const std::string&)> uploadEnded)
        : port_(port), log_(log), uploadEnded_(std::move(uploadEnded)) {}

    std::string attach(const platform::DeviceDescription& d,
                       std::shared_ptr<platform::OutputSink> sink) override {
        auto relay = std::make_shared<Relay>(*this, d.serial, std::move(sink));
        std::string path = port_.attach(d, relay);
        if (path.empty()) {
            log_.line("%s: could not be plugged in: %s", d.serial.c_str(),
                      port_.lastError().c_str());
            return path;
        }
        {
            std::lock_guard lock(mutex_);
            serials_[path] = d.serial;
        }
        log_.line("%s: arrived in %s (product %u, \"%s\") at %s", d.serial.c_str(),
                  ModeName(d.productId), static_cast<unsigned>(d.productId), d.product.c_str(),
                  path.c_str());
        return path;
    }

    void detach(const std::string& path) override {
        std::string serial;
        {
            std::lock_guard lock(mutex_);
            const auto it = serials_.find(path);
            if (it == serials_.end()) return;
            serial = it->second;
            serials_.erase(it);
        }
        port_.detach(path);
        log_.line("%s: left the bus (%s)", serial.c_str(), path.c_str());
    }

    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override {
        return port_.sendInputReport(path, report);
    }

private:
    class Relay final : public platform::OutputSink {
    public:
        Relay(LoggingPort& owner, std::string serial, std::shared_ptr<platform::OutputSink> inner)
            : owner_(owner), serial_(std::move(serial)), inner_(std::move(inner)) {}
        void onOutputReport(std::span<const std::uint8_t> report) override {
            // The emulator first, so that its state already reflects the command.
            inner_->onOutputReport(report);
            const std::string command = DescribeCommand(report);
            if (command.empty()) return;
            owner_.log_.line("%s: %s", serial_.c_str(), command.c_str());
            if (command == "DFUEND") owner_.uploadEnded_(serial_);
        }

    private:
        LoggingPort& owner_;
        std::string serial_;
        std::shared_ptr<platform::OutputSink> inner_;
    };

    sim::UhidPort& port_;
    Log& log_;
    std::function<void(const std::string&)> uploadEnded_;
    std::mutex mutex_;
    std::map<std::string, std::string> serials_;  // by path
};

struct Options {
    std::vector<std::string> simulate;
    std::string saveImage;
    std::string uhid = sim::kUhidDevicePath;
    std::string replay;
    double replaySpeed = 1;
};

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

// The uhid device must be there and writable before anything is set up; false (said) when it
// is not.
bool MayUseUhid(const Options& o) {
    const auto access = sim::CheckUhidAccess(o.uhid);
    if (!access.ok) SayError(access.message);
    return access.ok;
}

// --replay: the recording's devices on /dev/uhid, answering the host as the recorded device
// did. The player (sim/device_player.h) says what can't be repeated on a real kernel; here
// the host is whatever program opens the devices, and it is done when we are told to stop.
int RunReplay(const Options& o) {
    recording::Recording recording;
    if (std::string error; !recording::LoadRecording(o.replay, recording, error)) {
        SayError("the recording can't be replayed: " + error);
        return kExitUsage;
    }
    if (!MayUseUhid(o)) return kExitFailure;
    platform::StopSignals stops(true);  // a closed terminal ends the run as Ctrl-C does

    Log log;
    const auto note = [&log](const std::string& line) { log.line("replay: %s", line.c_str()); };
    sim::UhidPortSettings settings;
    settings.devicePath = o.uhid;
    sim::UhidPort uhid(settings);
    LoggingPort port(uhid, log, [](const std::string&) {});
    const std::size_t events = recording.events.size();
    const std::string recorded = Joined(recording.header.argv);
    auto player = std::make_unique<sim::DevicePlayer>(std::move(recording), o.replaySpeed, o.replay,
                                                      port, note);
    const auto recordedExit = player->recordedExit();
    log.line(
        "vumo-dfu-sim: replaying %s: %zu events, %zu reports for the host to write; "
        "recorded: %s; exit status %s",
        o.replay.c_str(), events, player->recordedWrites(), recorded.c_str(),
        recordedExit ? std::to_string(*recordedExit).c_str() : "not recorded");
    int exitCode = kExitOk;
    if (!player->start()) {
        exitCode = kExitFailure;
    } else {
        log.line("vumo-dfu-sim: the recording's devices are on %s; stop with Ctrl-C",
                 o.uhid.c_str());
        stops.WaitForStop();
        log.line("vumo-dfu-sim: stopping");
        // A difference found earlier was told when it happened; one found now is told here.
        if (!player->conclude().empty()) exitCode = kExitReplayDiffers;
        else log.line("vumo-dfu-sim: the host wrote every report of the recording");
    }
    // No write reaches the player once it goes; then the devices leave.
    player.reset();
    return exitCode;
}

int Run(const Options& o) {
    if (!o.replay.empty()) return RunReplay(o);
    sim::SimulateOptions options;
    std::string joined;
    for (const auto& part : o.simulate) joined += (joined.empty() ? "" : ",") + part;
    if (std::string error; !sim::ParseSimulateOptions(joined, options, error)) {
        SayError(error);
        return kExitUsage;
    }
    if (!MayUseUhid(o)) return kExitFailure;

    // Set up before any thread starts, so that only the wait below takes the signals.
    platform::StopSignals stops(true);  // a closed terminal ends the run as Ctrl-C does

    Log log;
    std::mutex devicesMutex;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> devices;
    const auto saveImage = [&](const std::string& serial) {
        std::vector<std::uint8_t> image;
        {
            std::lock_guard lock(devicesMutex);
            const auto it = std::find_if(devices.begin(), devices.end(),
                                         [&](const auto& d) { return d->serial() == serial; });
            if (it == devices.end()) return;
            image = (*it)->firmware();
        }
        const std::uint32_t crc = protocol::BlockCrc32(image);
        log.line("%s: upload ended: %zu blocks received, CRC-32 %08X", serial.c_str(),
                 image.size() / protocol::kBlockSize, crc);
        if (o.saveImage.empty()) return;
        const std::string file = options.devices > 1 ? o.saveImage + "." + serial : o.saveImage;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (out) log.line("%s: image saved to %s", serial.c_str(), file.c_str());
        else log.line("%s: could not write %s", serial.c_str(), file.c_str());
    };

    sim::UhidPortSettings settings;
    settings.devicePath = o.uhid;
    sim::UhidPort uhid(settings);
    LoggingPort port(uhid, log, saveImage);
    int exitCode = kExitOk;
    for (int i = 0; i < options.devices; ++i) {
        auto device =
            std::make_unique<sim::DeviceEmulator>(port, sim::MakeEmulatorConfig(options, i));
        const bool present = device->status().arrivals > 0;
        {
            std::lock_guard lock(devicesMutex);
            devices.push_back(std::move(device));
        }
        if (!present) {
            exitCode = kExitFailure;
            break;
        }
    }

    // arrive=: one more device after each interval, from a timer thread, up to the most the
    // options allow; it stops at the first device that could not be plugged in.
    std::unique_ptr<sim::Timer> arrivals;
    auto nextArrival = sim::Timer::Clock::now();
    std::function<void()> arrive = [&] {
        std::unique_lock lock(devicesMutex);
        const int index = static_cast<int>(devices.size());
        lock.unlock();
        auto device =
            std::make_unique<sim::DeviceEmulator>(port, sim::MakeEmulatorConfig(options, index));
        const bool present = device->status().arrivals > 0;
        lock.lock();
        devices.push_back(std::move(device));
        const bool more = present && devices.size() < sim::kMaxSimulatedDevices;
        lock.unlock();
        if (!more) return;
        nextArrival += *options.arriveEvery;
        arrivals->schedule(nextArrival, arrive);
    };
    if (exitCode == kExitOk && options.arriveEvery && options.devices < sim::kMaxSimulatedDevices) {
        arrivals = std::make_unique<sim::Timer>();
        nextArrival += *options.arriveEvery;
        arrivals->schedule(nextArrival, arrive);
    }

    if (exitCode == kExitOk) {
        log.line("vumo-dfu-sim: %d device%s on %s; stop with Ctrl-C", options.devices,
                 options.devices == 1 ? "" : "s", o.uhid.c_str());
        stops.WaitForStop();
        log.line("vumo-dfu-sim: stopping");
    }
    if (arrivals) arrivals->stop();  // no arrival while the devices go
    // The emulators unplug their devices; the port goes after them.
    std::vector<std::unique_ptr<sim::DeviceEmulator>> ending;
    {
        std::lock_guard lock(devicesMutex);
        ending.swap(devices);
    }
    ending.clear();
    return exitCode;
}

}  // namespace

// CLI11's set-up throws only on a programming error (a name given twice), which any run shows;
// its parse errors are caught below.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    CLI::App app{
        "Puts emulated Vumo devices on this machine's HID stack through /dev/uhid, so "
        "that vumo-dfu and the window can be tried without a device. Runs until "
        "Ctrl-C or SIGTERM.",
        "vumo-dfu-sim"};
    app.set_version_flag("--version", std::string("vumo-dfu-sim ") + vumo::kFileVersion);
    Options o;
    auto* items = app.add_option("ITEMS", o.simulate,
                                 "What to emulate, as for vumo-dfu's --simulate (list below)")
                      ->type_name("");
    auto* saveImage =
        app.add_option("--save-image", o.saveImage,
                       "After each finished upload, write the received blocks to FILE "
                       "(FILE.SERIAL with several devices)")
            ->type_name("FILE");
    auto* replay =
        app.add_option("--replay", o.replay,
                       "Instead of emulating, play the device's side of a recording made with "
                       "vumo-dfu --record: its devices appear as recorded, each report the "
                       "host writes is compared with the recorded one, and the recorded "
                       "answers, removals and arrivals follow. The first report that differs "
                       "is printed with the recorded one; nothing is played after it")
            ->type_name("FILE")
            ->excludes(items)
            ->excludes(saveImage);
    app.add_option("--replay-speed", o.replaySpeed,
                   "With --replay: how much faster than recorded the device answers (0: at "
                   "once)")
        ->type_name("X")
        ->default_str("1")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay);
    app.add_option("--uhid", o.uhid, "The uhid device")
        ->default_str(sim::kUhidDevicePath)
        ->type_name("PATH");
    // The shared help's first and last lines speak of vumo-dfu's option; the list between them
    // applies here as it stands.
    std::string list = vumo::sim::kSimulateHelp;
    if (const auto at = list.find("\n  "); at != std::string::npos) list.erase(0, at + 1);
    if (const auto example = list.rfind("Example:"); example != std::string::npos)
        list.erase(example);
    app.footer("ITEMS, separated by commas or spaces:\n" + list +
               "Example: vumo-dfu-sim dfu devices=2 --save-image /tmp/received.bin\n"
               "         vumo-dfu-sim --replay update.jsonl --replay-speed 0\n"
               // The device has no pacing of its own; it can only be as tolerant as a loader.
               "\nPacing is the host's choice (vumo-dfu update --pacing standard|fast). To try "
               "it: min-gap=MS makes a\nloader that needs the pauses of standard pacing "
               "(vumo-dfu-sim dfu min-gap=5), ready-after=MS\none that starts slowly after "
               "its return (vumo-dfu-sim app ready-after=3000).\n"
               "\nExit status:\n"
               "  0  stopped by a signal (with --replay: the host wrote every recorded report)\n"
               "  1  the devices could not be made\n"
               "  2  bad command line, or a recording that can't be replayed\n"
               "  3  with --replay: the host wrote a report other than the recorded one, or "
               "stopped\n"
               "     before writing all of them (the first difference is printed when it "
               "happens)\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return Run(o);
}
