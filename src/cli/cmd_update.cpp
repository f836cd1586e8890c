// vumo-dfu update FILE: a whole firmware update from the command line, with the same first
// stage, second stage and procedure as the window's Update button.

#include "base/program.h"
#include "base/wake_event.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/exit_codes.h"
#include "station/flash_record.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/tool_run.h"
#include "frontend/command_options.h"
#include "frontend/open_listed.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "image/prepare.h"
#include "platform/stop_signals.h"
#include "messages/causes.h"
#include "protocol/reports.h"
#include "session/flash_inhibitor.h"
#include "station/flash_log.h"
#include "text/utf8.h"
#include "update/device_watcher.h"
#include "update/update_procedure.h"


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
    update::Pacing pacing = update::Pacing::standard;
    std::optional<std::string> log;  // --log FILE: the flash log, as the station writes it
};

// Where a run ended, for scripts: the procedure's steps plus the ones before it.
struct RunResult {
    int exitCode = kExitOk;
    std::string outcome = "ok";
    std::string step = "done";
    std::string message;          // as given; JSON carries it escaped
    std::string terminalMessage;  // the message with its device strings made terminal-safe,
                                  // when it names any; else the message itself is made safe
    messages::Cause cause;
    std::string serial;
    std::uint32_t blocks = 0;
    int location = -1;
    bool restarted = false;  // the restart command went out after the device confirmed the end
};

void PrintJson(const RunResult& r) {
    std::printf("{\"outcome\": %s, \"serial\": %s, \"blocks\": %u, \"location\": %s, "
                "\"step\": %s, \"message\": %s, \"cause\": %s, \"restarted\": %s}\n",
                JsonString(r.outcome).c_str(), JsonString(r.serial).c_str(), r.blocks,
                r.location < 0 ? "null" : std::to_string(r.location).c_str(),
                JsonString(r.step).c_str(), JsonString(r.message).c_str(),
                JsonString(r.cause.text).c_str(), r.restarted ? "true" : "false");
}

// Why the procedure failed, beside the message it showed. The procedure gives none yet; when
// it does, it comes from here.

const char* PhaseText(update::Phase phase) {
    switch (phase) {
        case update::Phase::switchingMode: return "switching mode";
        case update::Phase::settling: return "waiting for the device";
        case update::Phase::handshake: return "handshake";
        case update::Phase::uploading: return "uploading";
        case update::Phase::finishing: return "finishing";
        case update::Phase::restarting: return "restarting the device";
        case update::Phase::confirming: return "waiting for the device to start its new firmware";
    }
    return "";
}

// The command line's side of the procedure: messages to stdout/stderr, progress as a one-line
// bar on a terminal and as plain lines otherwise.
class ConsoleUi final : public update::UpdateEvents {
public:
    ConsoleUi(bool json, StepLog& log, const base::WakeEvent& finished)
        : json_(json), log_(log), finished_(finished) {
        // With -v every step gets a line with its time; a bar would overwrite them.
        terminal_ = !json && !log.enabled() && base::TerminalWithEscapes(2);
    }

    void Failed(const update::Failure& failure) override {
        std::lock_guard lock(mutex_);
        EndBar();
        std::fputs(FailureText("ERROR: ", failure.message, failure.cause).c_str(), stderr);
    }

    void Uploaded(const std::string& text) override {
        std::lock_guard lock(mutex_);
        EndBar();
        // The completion text keeps its own line break. In JSON mode stdout holds the result
        // object alone.
        completionText_ = text;
        std::fprintf(json_ ? stderr : stdout, "%s\n", text::TerminalSafeMessage(text).c_str());
        std::fflush(stdout);
    }

    void PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) override {
        std::lock_guard lock(mutex_);
        if (log_.enabled()) {
            LogPhase(phase, block, blocks);
            return;
        }
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

    void Finished(const update::UpdateResult& result) override {
        {
            std::lock_guard lock(mutex_);
            EndBar();
            result_ = result;
        }
        finished_.signal();
    }

    void Say(const char* text) {
        std::lock_guard lock(mutex_);
        if (log_.enabled()) {
            log_.Step(text);
            return;
        }
        if (json_) return;
        EndBar();
        std::fprintf(stderr, "%s\n", text);
    }

    std::optional<update::UpdateResult> result() {
        std::lock_guard lock(mutex_);
        return result_;
    }

    // The text of the completion box, once shown.
    std::string completionText() {
        std::lock_guard lock(mutex_);
        return completionText_;
    }

private:
    // -v: each phase once, and the upload at every tenth of its blocks (-vv shows each
    // report).
    void LogPhase(update::Phase phase, std::uint32_t block, std::uint32_t blocks) {
        if (phase == update::Phase::uploading) {
            const std::uint32_t tenth = blocks >= 10 ? blocks / 10 : 1;
            if (block % tenth != 0 && block + 1 != blocks) return;
            log_.Step("uploading: block " + std::to_string(block + 1) + " of " +
                      std::to_string(blocks));
        } else if (phase != lastPhase_) {
            log_.Step(PhaseText(phase));
        }
        lastPhase_ = phase;
    }

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
    StepLog& log_;
    bool terminal_ = false;
    bool barShown_ = false;
    const base::WakeEvent& finished_;
    std::optional<update::Phase> lastPhase_;
    std::optional<update::UpdateResult> result_;
    std::string completionText_;
};

int ExitCodeFor(const update::UpdateResult& r) {
    switch (r.outcome) {
        case update::Outcome::ok: return kExitOk;
        case update::Outcome::interrupted: return kExitInterrupted;
        case update::Outcome::failed: break;
    }
    if (r.step == update::Step::restart) return kExitNotBooted;
    return r.step == update::Step::open ? kExitOpen : kExitDevice;
}

struct Choice {
    hid::HidDevice* object = nullptr;
    std::uint8_t mode = 0;
    hid::DeviceListEntry entry;  // as listed when it was chosen
};

// Picks the device to update. Never "whichever came first": with several, the user names one.
Choice ChooseDevice(const UpdateOptions& o, hid::AppDevice& app, hid::DfuDevice& dfu,
                    RunResult& failure) {
    const DeviceListing listing = ListDevices(app, dfu);
    std::vector<const ListedDevice*> matching;
    for (const auto& d : listing.devices) {
        if (o.serial && d.entry.serial != *o.serial) continue;
        if (o.index && d.index != *o.index) continue;
        if (!o.mode.empty() && o.mode != d.mode) continue;
        matching.push_back(&d);
    }
    failure.step = "device";
    if (matching.empty()) {
        failure.exitCode = kExitNoDevice;
        failure.message =
            listing.devices.empty() ? "No device found." : "No device matches the choice.";
        for (const auto& [why, count] : listing.skipped)
            for (int i = 0; i < count; ++i)
                failure.message += std::string(" A matching device was not listed: ") +
                                   platform::describe(why) + ".";
        return {};
    }
    if (matching.size() > 1) {
        failure.exitCode = kExitAmbiguous;
        failure.message = "Several devices match; choose one with --serial, or --index (with "
                          "--mode when both modes are present):";
        failure.terminalMessage = failure.message;
        for (const ListedDevice* d : matching) {
            const std::string head =
                std::string("\n  ") + d->mode + " " + std::to_string(d->index) + "  ";
            failure.message += head + d->entry.product + ": " + d->entry.serial;
            failure.terminalMessage += head + text::TerminalSafe(d->entry.product) + ": " +
                                       text::TerminalSafe(d->entry.serial);
        }
        return {};
    }
    const ListedDevice& chosen = *matching[0];
    failure.serial = chosen.entry.serial;
    if (chosen.mode == std::string_view("application"))
        return {&app, protocol::kModeApplication, chosen.entry};
    return {&dfu, protocol::kModeUpdate, chosen.entry};
}

// `bus` is null before the bus is made; `shown` when the procedure has shown its message.
int Finish(const UpdateOptions& o, RunResult r, frontend::BusChoice* bus = nullptr,
           bool shown = false) {
    if (bus != nullptr) {
        const std::string replayError = ConcludeBus(*bus, r.exitCode);
        if (!replayError.empty()) {
            r.outcome = "failed";
            r.step = "replay";
            r.message = replayError;
            r.terminalMessage.clear();
            r.cause = {};
            r.exitCode = kExitReplay;
            shown = false;
        }
    }
    if (shown && !o.json) return r.exitCode;
    if (r.exitCode != kExitOk && !r.message.empty() && !o.json) {
        const bool safe = !r.terminalMessage.empty();
        std::fputs(
            FailureText("vumo-dfu: ", safe ? r.terminalMessage : r.message, r.cause, safe).c_str(),
            stderr);
    }
    if (o.json) PrintJson(r);
    return r.exitCode;
}

int RunUpdate(const UpdateOptions& o, const CommonOptions& common) {
    StepLog log(common.verbosity, stderr);
    RunResult r;
    r.outcome = "failed";

    // Ctrl-C and SIGTERM are taken as events, so an update in progress is stopped cleanly
    // rather than cut off. A closed terminal or pipe does not end it: the update goes on to
    // its end and its log line. Set up before any thread starts, so every thread inherits it.
    platform::StopSignals stops;
    const base::WakeEvent finished;
    if (!stops.ok() || !finished) {
        r.message = "Could not set up signal handling.";
        r.exitCode = kExitFailure;
        return Finish(o, r);
    }
    const auto interrupted = [&] { return stops.Pending(); };

    std::string error;
    auto choice = MakeBus(common, error, r.exitCode);
    if (!choice) {
        r.message = error;
        r.step = "device";
        return Finish(o, r);
    }

    // A log that can't be kept is said before any device is touched.
    std::unique_ptr<station::FlashLog> flashLog;
    if (o.log) {
        flashLog = station::FlashLog::Open(*o.log, error);
        if (!flashLog) {
            r.step = "log";
            r.exitCode = kExitFailure;
            r.message = SentenceOf(error) + ". Choose a file this user may write; the device was not touched.";
            return Finish(o, r, choice.get());
        }
    }

    ConsoleUi ui(o.json, log, finished);

    // The first stage: check and load, before any device is touched.
    hid::AppDevice app(choice->bus());
    hid::DfuDevice dfu(choice->bus());
    ui.Say("checking the firmware file");
    // Ctrl-C during the check ends the tool at once, not after its time limit.
    const auto prepared = CheckFirmwareFile(o.file, stops, log);
    if (prepared.prepared) {
        r.blocks = prepared.prepared->image.blockCount;
        choice->NoteImage(prepared.prepared->sha256, prepared.prepared->fileSize);
    }
    if (!prepared.ok()) {
        r.step = "check";
        r.message = prepared.caption + ": " + prepared.text;
        r.cause = messages::PrepareCause(prepared);
        r.exitCode = ExitCodeForCheck(prepared.failure);
        return Finish(o, r, choice.get());
    }
    r.location = prepared.location;
    if (interrupted()) {
        r.outcome = "interrupted";
        r.step = "check";
        r.message = "Interrupted; the device was not touched.";
        r.exitCode = kExitInterrupted;
        return Finish(o, r, choice.get());
    }

    // Watch for arrivals and removals before anything can make the device leave the bus.
    auto monitor = choice->bus().monitor();
    if (!monitor) {
        r.step = "device";
        r.message = "Device arrivals and removals can't be watched (udev monitor unavailable).";
        r.exitCode = kExitFailure;
        return Finish(o, r, choice.get());
    }
    const Choice chosen = ChooseDevice(o, app, dfu, r);
    if (chosen.object == nullptr) return Finish(o, r, choice.get());
    log.Step("opening " + chosen.entry.path + " (" + chosen.entry.product + ": " +
             chosen.entry.serial + ")");
    if (const auto opened = frontend::OpenListed(*chosen.object, chosen.entry, r.cause); opened != hid::kOpenOk) {
        r.step = "open";
        r.exitCode = kExitOpen;
        r.message = "Open Error (code : " + std::to_string(opened) + ")";
        return Finish(o, r, choice.get());
    }

    update::Limits limits;
    const auto timeout = std::chrono::milliseconds(std::llround(o.timeoutSeconds * 1000));
    limits.reply = timeout;
    limits.reopen = timeout;
    update::Checks checks;
    // The command line waits for the device to come back with its new firmware before it
    // says the update worked.
    checks.confirmBoot = true;
    update::UpdateProcedure procedure(app, dfu, ui, std::make_unique<update::RealPacer>(o.pacing),
                                      limits, {}, checks);
    if (!procedure.Start()) {
        r.step = "device";
        r.exitCode = kExitFailure;
        r.message = "The update can't run: " + procedure.startError() +
                    ". Close other programs and try again; the device was not touched.";
        return Finish(o, r, choice.get());
    }
    procedure.setOpenMode(chosen.mode);
    station::FlashStart started{{}, 0, chosen.mode};
    auto startedSteady = std::chrono::steady_clock::now();
    {
        update::DeviceWatcher watcher(
            *monitor,
            [&procedure](const auto& event) { update::ForwardDeviceChange(procedure, event); },
            {[&choice] { return choice->bus().monitor(); },
             [](const std::string& text) { SayError(text); }});
        if (!watcher.running()) {
            procedure.Stop();
            r.step = "device";
            r.exitCode = kExitFailure;
            r.message = "The update can't run: " + watcher.error() +
                        ". Close other programs and try again; the device was not touched.";
            return Finish(o, r, choice.get());
        }
        // The machine stays awake until the procedure has ended; a refusal is said and the
        // update goes on.
        session::FlashInhibitor sleep(
            [](const std::string& s) { std::fprintf(stderr, "vumo-dfu: %s\n", s.c_str()); });
        const session::SleepGuard flashing(sleep, chosen.entry.serial);
        started.time = std::chrono::system_clock::now();
        startedSteady = std::chrono::steady_clock::now();
        procedure.StartSecondStage(
            {prepared.prepared, {chosen.entry.serial, chosen.entry.port}, chosen.mode});

        // A replay that stops at a difference ends the run at once (without a replay the wait
        // skips that empty entry).
        const base::Waitable waits[3] = {finished.waitable(), stops.ready(),
                                         choice->replayStop()};
        // Every wait inside the procedure has a limit, so it always reports an end.
        base::WaitAny(waits);
        if (!finished.isSet() && waits[2].isSet()) {
            procedure.Stop();
            r.exitCode = kExitReplay;  // Finish puts the difference into the message
        } else if (waits[1].isSet()) {
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

    const auto result = ui.result();
    // The log has the device's line before the outcome is told; a line that can't be
    // written is said, and the outcome stays the device's.
    if (flashLog && r.exitCode != kExitReplay) {
        update::UpdateResult logged;
        if (result) {
            logged = *result;
        } else {
            logged.outcome = update::Outcome::interrupted;
            logged.step = update::Step::none;
            logged.message = r.message;
            logged.serial = chosen.entry.serial;
            logged.port = chosen.entry.port;
        }
        started.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                        startedSteady)
                              .count();
        std::string why;
        if (!flashLog->Append(station::FlashRecordOf(*prepared.prepared, started, logged), why))
            SayError(why);
    }
    if (r.exitCode == kExitInterrupted || r.exitCode == kExitReplay)
        return Finish(o, r, choice.get());
    if (!result) {
        r.message = "The update ended without a result.";
        r.exitCode = kExitFailure;
        return Finish(o, r, choice.get());
    }
    r.outcome = update::OutcomeName(result->outcome);
    r.step = update::StepName(result->step);
    r.message = result->message;
    r.cause.text = result->cause;
    r.restarted = result->restarted;
    if (!result->serial.empty()) r.serial = result->serial;
    r.exitCode = ExitCodeFor(*result);
    if (!result->note.empty() && !o.json) std::fputs((text::TerminalSafeMessage(result->note) + "\n").c_str(), stderr);
    // The procedure has already shown its message; don't repeat it.
    return Finish(o, r, choice.get(), true);
}

}  // namespace

void AddUpdateCommand(CLI::App& app, const CommonOptions& common, int& exitCode) {
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
    frontend::AddPacingOption(*cmd, o->pacing, frontend::OptionsFor::commandLine);
    cmd->add_option("--log", o->log,
                    "Append the update's JSON line to the flash log FILE, as 'station' does")
        ->type_name("FILE");
    cmd->footer(kCommonOptionsFooter);
    cmd->callback([o, &common, &exitCode] { exitCode = RunUpdate(*o, common); });
}

}  // namespace vumo::cli
