// vumo-dfu update FILE: a whole firmware update from the command line, with the same first
// stage, second stage and procedure as the window's Update button.

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "protocol/reports.h"
#include "update/device_watcher.h"
#include "update/update_procedure.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vumo::cli {
namespace {

struct UpdateOptions {
    std::string file;
    std::optional<std::string> serial;
    std::optional<int> index;
    std::string mode;  // "", "application" or "update": which list --index counts in
    double timeoutSeconds = 10;
    bool json = false;
    SimulateFlag simulate;
};

// Where a run ended, for scripts: the procedure's steps plus the ones before it.
struct RunResult {
    int exitCode = kExitOk;
    std::string outcome = "ok";
    std::string step = "done";
    std::string message;
    std::string serial;
    std::uint32_t blocks = 0;
    int location = -1;
};

void PrintJson(const RunResult& r) {
    std::printf("{\"outcome\": %s, \"serial\": %s, \"blocks\": %u, \"location\": %s, "
                "\"step\": %s, \"message\": %s}\n",
                JsonString(r.outcome).c_str(), JsonString(r.serial).c_str(), r.blocks,
                r.location < 0 ? "null" : std::to_string(r.location).c_str(),
                JsonString(r.step).c_str(), JsonString(r.message).c_str());
}

const char* PhaseText(update::Phase phase) {
    switch (phase) {
        case update::Phase::switchingMode: return "switching mode";
        case update::Phase::settling: return "waiting for the device";
        case update::Phase::handshake: return "handshake";
        case update::Phase::uploading: return "uploading";
        case update::Phase::finishing: return "finishing";
        case update::Phase::restarting: return "restarting the device";
    }
    return "";
}

// The command line's side of the procedure: messages to stdout/stderr, progress as a one-line
// bar on a terminal and as plain lines otherwise.
class ConsoleUi final : public update::UpdateUi {
public:
    ConsoleUi(bool json, int finishedFd) : json_(json), finishedFd_(finishedFd) {
        terminal_ = !json && ::isatty(STDERR_FILENO);
    }

    void SetProgressRange(int, int) override {}
    void SetProgress(int) override {}
    void ShowWarning(bool) override {}
    void EnableOpenButton(bool) override {}
    void EnableUpdateButton(bool) override {}

    void ShowMessage(const std::string& text, const std::string& caption, int type) override {
        std::lock_guard lock(mutex_);
        EndBar();
        if (type == update::kBoxError) {
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        } else {
            // The completion text keeps its own line break. In JSON mode stdout holds the
            // result object alone.
            std::fprintf(json_ ? stderr : stdout, "%s\n", text.c_str());
            std::fflush(stdout);
        }
    }

    void PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) override {
        std::lock_guard lock(mutex_);
        if (json_) return;
        if (terminal_) {
            DrawBar(phase, block, blocks);
            return;
        }
        // In a log: one line per phase and one per tenth of the blocks.
        if (phase == update::Phase::uploading) {
            const std::uint32_t tenth = blocks >= 10 ? blocks / 10 : 1;
            if (block % tenth != 0 && block + 1 != blocks) return;
            std::fprintf(stderr, "uploading: block %u of %u\n", block + 1, blocks);
        } else if (phase != lastPhase_) {
            std::fprintf(stderr, "%s\n", PhaseText(phase));
        }
        lastPhase_ = phase;
    }

    void UpdateFinished(const update::UpdateResult& result) override {
        {
            std::lock_guard lock(mutex_);
            EndBar();
            result_ = result;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(finishedFd_, &one, sizeof one);
    }

    void Say(const char* text) {
        std::lock_guard lock(mutex_);
        if (json_) return;
        EndBar();
        std::fprintf(stderr, "%s\n", text);
    }

    std::optional<update::UpdateResult> result() {
        std::lock_guard lock(mutex_);
        return result_;
    }

private:
    void DrawBar(update::Phase phase, std::uint32_t block, std::uint32_t blocks) {
        constexpr int kWidth = 30;
        const std::uint32_t done = phase == update::Phase::uploading ? block
                                   : phase == update::Phase::finishing ||
                                           phase == update::Phase::restarting
                                       ? blocks
                                       : 0;
        const int filled = blocks ? static_cast<int>(kWidth * done / blocks) : 0;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kWidth, ' ');
        if (phase == update::Phase::uploading)
            std::fprintf(stderr, "\r[%s] block %u of %u   \x1b[K", bar.c_str(), block + 1, blocks);
        else
            std::fprintf(stderr, "\r[%s] %s\x1b[K", bar.c_str(), PhaseText(phase));
        barShown_ = true;
    }
    void EndBar() {
        if (barShown_) std::fputc('\n', stderr);
        barShown_ = false;
    }

    std::mutex mutex_;
    bool json_;
    bool terminal_ = false;
    bool barShown_ = false;
    int finishedFd_;
    std::optional<update::Phase> lastPhase_;
    std::optional<update::UpdateResult> result_;
};

int ExitCodeFor(const update::UpdateResult& r) {
    switch (r.outcome) {
        case update::Outcome::ok: return kExitOk;
        case update::Outcome::interrupted: return kExitInterrupted;
        case update::Outcome::failed: break;
    }
    return r.step == update::Step::open ? kExitOpen : kExitDevice;
}

int ExitCodeFor(image::PrepareFailure f) {
    return f == image::PrepareFailure::toolNotFound || f == image::PrepareFailure::toolTimedOut ||
                   f == image::PrepareFailure::toolFailed
               ? kExitFailure
               : kExitFile;
}

struct Choice {
    hid::HidDevice* object = nullptr;
    std::uint8_t mode = 0;
    int index = -1;
};

// Picks the device to update. Never "whichever came first": with several, the user names one.
Choice ChooseDevice(const UpdateOptions& o, hid::AppDevice& app, hid::DfuDevice& dfu,
                    RunResult& failure) {
    struct Candidate {
        hid::HidDevice* object;
        std::uint8_t mode;
        const char* modeName;
        int index;
        hid::DeviceListEntry entry;
    };
    std::vector<Candidate> all;
    all.reserve(std::size_t{2} * hid::kMaxListedDevices);
    for (int i = 0; i < app.deviceCount(); ++i)
        all.push_back({&app, protocol::kModeApplication, "application", i, app.entry(i)});
    for (int i = 0; i < dfu.deviceCount(); ++i)
        all.push_back({&dfu, protocol::kModeUpdate, "update", i, dfu.entry(i)});

    std::vector<Candidate> matching;
    for (const auto& c : all) {
        if (o.serial && c.entry.serial != *o.serial) continue;
        if (o.index && c.index != *o.index) continue;
        if (!o.mode.empty() && o.mode != c.modeName) continue;
        matching.push_back(c);
    }
    failure.step = "device";
    if (matching.empty()) {
        failure.exitCode = kExitNoDevice;
        failure.message = all.empty() ? "No device found." : "No device matches the choice.";
        for (const auto* object : {static_cast<hid::HidDevice*>(&app),
                                   static_cast<hid::HidDevice*>(&dfu)})
            for (const auto& s : object->skipped())
                failure.message += std::string(" A matching device was not listed: ") +
                                   platform::describe(s.why) + ".";
        return {};
    }
    if (matching.size() > 1) {
        failure.exitCode = kExitAmbiguous;
        failure.message = "Several devices match; choose one with --serial, or --index (with "
                          "--mode when both modes are present):";
        for (const auto& c : matching)
            failure.message += std::string("\n  ") + c.modeName + " " + std::to_string(c.index) +
                               "  " + c.entry.product + ": " + c.entry.serial;
        return {};
    }
    failure.serial = matching[0].entry.serial;
    return {matching[0].object, matching[0].mode, matching[0].index};
}

int Finish(const UpdateOptions& o, const RunResult& r) {
    if (r.exitCode != kExitOk && !r.message.empty() && !o.json)
        std::fprintf(stderr, "vumo-dfu: %s\n", r.message.c_str());
    if (o.json) PrintJson(r);
    return r.exitCode;
}

int RunUpdate(const UpdateOptions& o) {
    RunResult r;
    r.outcome = "failed";

    // Ctrl-C and SIGTERM are taken as events, so an update in progress is stopped cleanly
    // rather than cut off. Blocked before any thread starts, so every thread inherits it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    const int finishedFd = ::eventfd(0, EFD_CLOEXEC);
    struct Fds {
        int a, b;
        ~Fds() {
            if (a >= 0) ::close(a);
            if (b >= 0) ::close(b);
        }
    } fds{signalFd, finishedFd};
    if (signalFd < 0 || finishedFd < 0) {
        r.message = "Could not set up signal handling.";
        r.exitCode = kExitFailure;
        return Finish(o, r);
    }
    const auto interrupted = [&] {
        pollfd p{signalFd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    };

    std::string error;
    auto choice = BusChoice::Make(o.simulate, error);
    if (!choice) {
        r.message = error;
        r.exitCode = o.simulate.options ? kExitUsage : kExitFailure;
        r.step = "device";
        return Finish(o, r);
    }

    ConsoleUi ui(o.json, finishedFd);

    // The first stage: check and load, before any device is touched.
    hid::AppDevice app(choice->bus());
    hid::DfuDevice dfu(choice->bus());
    ui.Say("checking the firmware file");
    image::CRedirector runner;
    const auto prepared = image::PrepareImage(
        o.file, dfu.image(), [&dfu](std::uint8_t code) { dfu.SetLocationCode(code); }, runner);
    r.blocks = dfu.image().blockCount;
    if (!prepared.ok()) {
        r.step = "check";
        r.message = prepared.caption + ": " + prepared.text;
        r.exitCode = ExitCodeFor(prepared.failure);
        return Finish(o, r);
    }
    r.location = prepared.location;
    if (interrupted()) {
        r.outcome = "interrupted";
        r.step = "check";
        r.message = "Interrupted; the device was not touched.";
        r.exitCode = kExitInterrupted;
        return Finish(o, r);
    }

    // Watch for arrivals and removals before anything can make the device leave the bus.
    auto monitor = choice->bus().monitor();
    if (!monitor) {
        r.step = "device";
        r.message = "Device arrivals and removals can't be watched (udev monitor unavailable).";
        r.exitCode = kExitFailure;
        return Finish(o, r);
    }
    app.EnumerateDevices();
    dfu.EnumerateDevices();
    const Choice chosen = ChooseDevice(o, app, dfu, r);
    if (chosen.object == nullptr) return Finish(o, r);
    if (const auto opened = chosen.object->Open(chosen.index); opened != hid::kOpenOk) {
        r.step = "open";
        r.exitCode = kExitOpen;
        r.message = "Open Error (code : " + std::to_string(opened) + "): " +
                    platform::describe(chosen.object->lastOpenStatus()) + ".";
        return Finish(o, r);
    }

    update::Limits limits;
    const auto timeout = std::chrono::milliseconds(std::llround(o.timeoutSeconds * 1000));
    limits.reply = timeout;
    limits.reopen = timeout;
    update::UpdateProcedure procedure(app, dfu, ui, std::make_unique<update::RealPacer>(), limits);
    procedure.Start();
    procedure.setOpenMode(chosen.mode);
    {
        update::DeviceWatcher watcher(*monitor, [&procedure](const auto& event) {
            update::ForwardDeviceChange(procedure, event);
        });
        procedure.ResetProgress();
        procedure.StartSecondStage();

        pollfd waits[2] = {{finishedFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        // Every wait inside the procedure has a limit, so it always reports an end.
        while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
        }
        if (waits[1].revents & POLLIN) {
            procedure.Stop();
            r.outcome = "interrupted";
            r.step = "interrupted";
            r.exitCode = kExitInterrupted;
            // On the application-mode path the mode switch has gone out by now.
            r.message = chosen.mode == protocol::kModeUpdate
                            ? "Interrupted. The device stays in update mode; run the update "
                              "again to recover it."
                            : "Interrupted. If the device has switched to update mode it stays "
                              "there; run the update again to recover it.";
        }
        procedure.Stop();
    }
    if (app.isOpen()) app.Close();
    if (dfu.isOpen()) dfu.Close();

    if (r.exitCode == kExitInterrupted) return Finish(o, r);
    const auto result = ui.result();
    if (!result) {
        r.message = "The update ended without a result.";
        r.exitCode = kExitFailure;
        return Finish(o, r);
    }
    r.outcome = update::OutcomeName(result->outcome);
    r.step = update::StepName(result->step);
    r.message = result->message;
    if (!result->serial.empty()) r.serial = result->serial;
    r.exitCode = ExitCodeFor(*result);
    // The procedure has already shown its message; don't repeat it.
    if (!o.json) return r.exitCode;
    return Finish(o, r);
}

}  // namespace

void AddUpdateCommand(CLI::App& app, int& exitCode) {
    auto o = std::make_shared<UpdateOptions>();
    auto* cmd = app.add_subcommand(
        "update", "Check FILE and write it to a device (from application or update mode).");
    cmd->add_option("FILE", o->file, "Firmware file: raw binary or Intel HEX")->required();
    auto* serial = cmd->add_option("--serial", o->serial, "Update the device with this serial number");
    auto* index = cmd->add_option("--index", o->index, "Update the device at this index, as 'list' numbers them");
    cmd->add_option("--mode", o->mode, "With --index: which list it counts in")
        ->check(CLI::IsMember({"application", "update"}));
    serial->excludes(index);
    cmd->add_option("--timeout", o->timeoutSeconds,
                    "Seconds to wait for each reply, and for the returned device to open")
        ->check(CLI::Range(0.1, 3600.0))
        ->default_val(10);
    cmd->add_flag("--json", o->json, "Print one JSON result object at the end");
    AddSimulateOption(*cmd, o->simulate);
    cmd->callback([o, &exitCode] { exitCode = RunUpdate(*o); });
}

}  // namespace vumo::cli
