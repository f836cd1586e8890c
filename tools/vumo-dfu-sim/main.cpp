// vumo-dfu-sim: puts emulated devices on this machine's real HID stack through /dev/uhid, so that
// the window, the command line or any other HID program can be tried against a device that is
// not there. It runs until Ctrl-C or SIGTERM and tells on stdout what the devices see and do.

#include "protocol/crc32.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/simulate_options.h"
#include "sim/timer.h"
#include "sim/uhid/uhid_port.h"
#include "vumo/build_config.h"

#include <CLI/CLI.hpp>

#include <signal.h>

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

// One line at a time from any thread.
class Log {
public:
    __attribute__((format(printf, 2, 3))) void line(const char* format, ...) {
        std::lock_guard lock(mutex_);
        va_list args;
        va_start(args, format);
        std::vprintf(format, args);
        va_end(args);
        std::fputc('\n', stdout);
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
class LoggingPort final : public sim::DevicePort {
public:
    LoggingPort(sim::UhidPort& port, Log& log, std::function<void(const std::string&)> uploadEnded)
        : port_(port), log_(log), uploadEnded_(std::move(uploadEnded)) {}

    std::string attach(const sim::DeviceDescription& d,
                       std::shared_ptr<sim::OutputSink> sink) override {
        auto relay = std::make_shared<Relay>(*this, d.serial, std::move(sink));
        const std::string path = port_.attach(d, relay);
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
    class Relay final : public sim::OutputSink {
    public:
        Relay(LoggingPort& owner, std::string serial, std::shared_ptr<sim::OutputSink> inner)
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
        std::shared_ptr<sim::OutputSink> inner_;
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
};

int Run(const Options& o) {
    sim::SimulateOptions options;
    std::string joined;
    for (const auto& part : o.simulate) joined += (joined.empty() ? "" : ",") + part;
    if (std::string error; !sim::ParseSimulateOptions(joined, options, error)) {
        std::fprintf(stderr, "vumo-dfu-sim: %s\n", error.c_str());
        return kExitUsage;
    }
    if (const auto access = sim::CheckUhidAccess(o.uhid); !access.ok) {
        std::fprintf(stderr, "vumo-dfu-sim: %s\n", access.message.c_str());
        return kExitFailure;
    }

    // Blocked before any thread starts, so that only the wait below takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

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
        auto device = std::make_unique<sim::DeviceEmulator>(port, sim::MakeEmulatorConfig(options, i));
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
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
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

int main(int argc, char** argv) {
    CLI::App app{"Puts emulated Vumo devices on this machine's HID stack through /dev/uhid, so "
                 "that vumo-dfu and the window can be tried without a device. Runs until "
                 "Ctrl-C or SIGTERM.",
                 "vumo-dfu-sim"};
    app.set_version_flag("--version", std::string("vumo-dfu-sim ") + vumo::kFileVersion);
    Options o;
    app.add_option("ITEMS", o.simulate,
                   "What to emulate, as for vumo-dfu's --simulate (list below)")
        ->type_name("");
    app.add_option("--save-image", o.saveImage,
                   "After each finished upload, write the received blocks to FILE (FILE.SERIAL "
                   "with several devices)")
        ->type_name("FILE");
    app.add_option("--uhid", o.uhid, "The uhid device")
        ->default_str(sim::kUhidDevicePath)
        ->type_name("PATH");
    // The shared help's first and last lines speak of vumo-dfu's option; the list between them
    // applies here as it stands.
    std::string items = vumo::sim::kSimulateHelp;
    if (const auto list = items.find("\n  "); list != std::string::npos) items.erase(0, list + 1);
    if (const auto example = items.rfind("Example:"); example != std::string::npos)
        items.erase(example);
    app.footer("ITEMS, separated by commas or spaces:\n" + items +
               "Example: vumo-dfu-sim dfu devices=2 --save-image /tmp/received.bin\n" +
               // The device has no pacing of its own; it can only be as tolerant as a loader.
               "\nPacing is the host's choice (vumo-dfu update --pacing standard|fast). To try "
               "it: min-gap=MS makes a\nloader that needs the pauses of standard pacing "
               "(vumo-dfu-sim dfu min-gap=5), ready-after=MS\none that starts slowly after "
               "its return (vumo-dfu-sim app ready-after=3000).\n" +
               "\nExit status: 0 stopped by a signal, 1 the devices could not be made, 2 bad "
               "command line.\n");
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
