// vumo-dfu station FILE: a production station. Checks FILE once, then flashes every matching
// device present and every one that arrives, several at once, each followed by its identity
// through its mode switch and restart, until --count devices have finished or Ctrl-C.

#include "base/program.h"
#include "base/wake_event.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "station/flash_record.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/station_console.h"
#include "cli/tool_run.h"
#include "frontend/command_options.h"
#include "image/prepare.h"
#include "messages/causes.h"
#include "session/station_sleep.h"
#include "station/flash_log.h"
#include "station/station.h"
#include "platform/stop_signals.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;

// The command's own help beside its options: what it shows and how it ends.
constexpr const char* kStationHelp =
    "The station flashes each matching device once (in application or update mode), at most\n"
    "K at a time, and follows it by its serial number and port through its mode switch and\n"
    "restart. A device is ok only when it is back in application mode after its restart\n"
    "(images of location code 1). Ctrl-C: no new device is started and the running ones\n"
    "finish; a second Ctrl-C stops them. A closed terminal, or a reader of standard output\n"
    "that went away, does what the first Ctrl-C does.\n"
    "Exit status: 0 every finished device is ok; 10 a device failed, or its line could not\n"
    "be written to the flash log; 130 interrupted before any device was ok; 4 no device was\n"
    "flashed; 3 the file was refused; 1 the flash log can't be opened, or another failure.\n";

struct StationCliOptions {
    std::string file;
    int count = 0;
    int maxParallel = 0;
    std::vector<std::string> serials;
    bool again = false;
    std::optional<std::string> log;
    bool json = false;
    double timeoutSeconds = 10;
    update::Pacing pacing = update::Pacing::standard;
};

// A failure before the station runs: the message on stderr (and as the summary's JSON), the
// run concluded with its status.
int SetupFailure(const StationCliOptions& o, frontend::BusChoice* bus, int exitCode,
                 const std::string& message, const messages::Cause& cause = {}) {
    std::fputs(FailureText("vumo-dfu: ", message, cause).c_str(), stderr);
    if (bus != nullptr) {
        const std::string replayError = ConcludeBus(*bus, exitCode);
        if (!replayError.empty()) {
            SayError(replayError);
            exitCode = kExitReplay;
        }
    }
    if (o.json)
        std::printf("{\"event\": \"summary\", \"ok\": 0, \"failed\": 0, \"interrupted\": 0, "
                    "\"skipped\": 0, \"message\": %s}\n",
                    JsonString(message).c_str());
    return exitCode;
}

// The status of a whole station run. A device that failed outweighs everything: a production
// line must hear of it. Devices stopped by the second Ctrl-C make the run interrupted.
int StationExitCode(const StationConsole::Tally& t, bool signalled) {
    if (t.failed > 0) return kExitStationFailed;
    if (t.interrupted > 0) return kExitInterrupted;
    if (t.ok > 0) return kExitOk;
    return signalled ? kExitInterrupted : kExitNoDevice;
}

int RunStation(const StationCliOptions& o, const CommonOptions& common) {
    StepLog log(common.verbosity, stderr);

    // Ctrl-C, SIGTERM and a closed terminal as events, set up before any thread starts so that
    // every thread leaves them to this one.
    platform::StopSignals stops(true);
    const base::WakeEvent wake;
    if (!stops.ok() || !wake) return SetupFailure(o, nullptr, kExitFailure, "Could not set up signal handling.");

    std::string error;
    int exitCode = kExitFailure;
    auto choice = MakeBus(common, error, exitCode);
    if (!choice) return SetupFailure(o, nullptr, exitCode, error);

    // The log is opened before anything else is done, so that a station that can't keep its
    // record never touches a device.
    std::unique_ptr<station::FlashLog> flashLog;
    if (o.log) {
        flashLog = station::FlashLog::Open(*o.log, error);
        if (!flashLog)
            return SetupFailure(o, choice.get(), kExitFailure,
                                SentenceOf(error) + ". Choose a file this user may write; no device was touched.");
    }

    log.Step("checking the firmware file");
    const auto prepared = CheckFirmwareFile(o.file, stops, log);
    if (prepared.prepared)
        choice->NoteImage(prepared.prepared->sha256, prepared.prepared->fileSize);
    if (!prepared.ok() || !prepared.prepared) {
        return SetupFailure(o, choice.get(), ExitCodeForCheck(prepared.failure),
                            prepared.caption + ": " + prepared.text,
                            messages::PrepareCause(prepared));
    }
    const std::shared_ptr<const image::PreparedImage> image = prepared.prepared;

    station::StationOptions options;
    // Every device reads the one prepared image; it lives as long as the last one using it.
    options.image = image;
    options.maxParallel = o.maxParallel;
    options.serials = {o.serials.begin(), o.serials.end()};
    options.again = o.again;
    options.count = o.count;
    const auto timeout = std::chrono::milliseconds(std::llround(o.timeoutSeconds * 1000));
    options.limits.reply = timeout;
    options.limits.reopen = timeout;
    options.pacing = o.pacing;

    // With -v the steps' lines go to stderr, which a redrawn display would overwrite.
    const StationView view = o.json                                        ? StationView::json
                             : !log.enabled() && base::TerminalWithEscapes(1) ? StationView::terminal
                                                                          : StationView::plain;
    StationConsole console(view, stdout, stderr, &wake);

    // The log has its line before the outcome is shown; a device whose line can't be written
    // is told as failed at the log (a line traces each device), and the station goes on.
    station::FinishHook onFinish;
    if (flashLog) {
        onFinish = [&](const station::FinishedDevice& f) -> std::string {
            std::string why;
            if (!flashLog->Append(station::FlashRecordOf(*image, f), why))
                console.LogNotWritten(f.device.id, why);
            return {};
        };
    }

    // Held against sleep while any device is flashed; both outlive the station.
    session::FlashInhibitor sleep([&console](const std::string& s) { console.Note(s); });
    session::StationSleep sleeping(console, sleep);
    auto theStation =
        std::make_unique<station::Station>(choice->bus(), options, sleeping, std::move(onFinish));
    if (!theStation->Start(error)) {
        theStation.reset();
        return SetupFailure(o, choice.get(), kExitFailure, "The station can't run: " + error + ".");
    }
    log.Step("station started; waiting for devices");

    // The front end's thread waits on events only: the station's end, signals, a replay's
    // difference, and on a terminal the display's changes, drawn at most ten times a second
    // and once a second while a device runs (its elapsed time).
    int signalsSeen = 0;
    bool hungUp = false;
    bool outputClosed = false;
    const auto drain = [&](const char* why) {
        console.Note(why);
        theStation->Drain();
    };
    bool replayStopped = false;
    auto lastDraw = std::chrono::steady_clock::now() - 1s;
    for (;;) {
        int timeoutMs = -1;
        if (view == StationView::terminal) {
            const auto since = std::chrono::steady_clock::now() - lastDraw;
            const auto due = console.dirty() ? 100ms : console.anyRunning() ? 1000ms : -1ms;
            if (due >= 0ms)
                timeoutMs = static_cast<int>(std::max<std::chrono::milliseconds>(
                    0ms, std::chrono::duration_cast<std::chrono::milliseconds>(due - since)).count());
        }
        const base::Waitable waits[4] = {theStation->doneEvent(), stops.ready(),
                                         choice->replayStop(), wake.waitable()};
        const int woken = base::WaitAny(
            waits, timeoutMs < 0 ? std::nullopt
                                 : std::optional<std::chrono::milliseconds>(timeoutMs));
        if (woken == base::kWaitFailed) break;
        if (waits[3].isSet()) wake.clear();
        if (view == StationView::terminal) {
            const auto now = std::chrono::steady_clock::now();
            const bool due = now - lastDraw >= (console.dirty() ? 100ms : 1000ms);
            if (due && (console.dirty() || console.anyRunning())) {
                console.Redraw();
                lastDraw = now;
            }
        }
        // A closed terminal or a closed standard output (a collector that ended) drains, as
        // the first Ctrl-C does: the running devices finish and are logged, nothing more is
        // started. Only Ctrl-C and SIGTERM count towards stopping the running ones.
        const auto taken = waits[1].isSet() ? stops.Take() : platform::StopSignals::Taken{};
        if (taken.hangUps > 0 && !hungUp) {
            hungUp = true;
            drain("The terminal was closed: no new device is started; the running ones finish.");
        }
        if (console.outputClosed() && !outputClosed) {
            outputClosed = true;
            drain("Standard output was closed: no new device is started; the running ones "
                  "finish.");
        }
        if (taken.stops > 0) {
            signalsSeen += taken.stops;
            if (signalsSeen == 1) {
                const int running = theStation->counts().running;
                console.Note(running == 0 ? "Stopping: no new device is started."
                                          : "Stopping: no new device is started; the " +
                                                std::to_string(running) +
                                                " running finish. Press Ctrl-C again to stop "
                                                "them.");
                theStation->Drain();
            } else {
                console.Note("Stopping the running devices; each stays in update mode, and the "
                             "station run again flashes it directly.");
                theStation->Abort();
                signalsSeen = 2;
            }
        }
        if (waits[2].isSet()) {
            replayStopped = true;
            theStation->Abort();
            break;
        }
        if (waits[0].isSet()) break;
    }
    // Joins every thread; the last devices report on the way.
    theStation.reset();
    if (view == StationView::terminal) console.Redraw();

    const auto tally = console.tally();
    exitCode = replayStopped ? kExitReplay
                             : StationExitCode(tally, signalsSeen > 0 || hungUp || outputClosed);
    if (tally.ok + tally.failed + tally.interrupted == 0 && exitCode == kExitNoDevice)
        console.Note("No device was flashed.");
    console.Summary();
    const std::string replayError = ConcludeBus(*choice, exitCode);
    if (!replayError.empty()) {
        SayError(replayError);
        exitCode = kExitReplay;
    }
    return exitCode;
}

}  // namespace

void AddStationCommand(CLI::App& app, const CommonOptions& common, int& exitCode) {
    auto o = std::make_shared<StationCliOptions>();
    auto* cmd = app.add_subcommand(
        "station",
        "Check FILE once, then flash every device present and every one that arrives, several "
        "at once, until --count devices have finished or Ctrl-C.");
    cmd->add_option("FILE", o->file, "Firmware file: raw binary or Intel HEX")->required();
    cmd->add_option("--count", o->count, "Stop once N devices have finished, ok or failed")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--max-parallel", o->maxParallel,
                    "Flash at most K devices at once (default: all present)")
        ->type_name("K")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--serial", o->serials, "Flash only the device with this serial number; "
                                            "may be given more than once")
        ->type_name("SERIAL")
        ->allow_extra_args(false);
    cmd->add_flag("--again", o->again,
                  "Flash a device again that was flashed ok earlier in this run");
    cmd->add_option("--log", o->log,
                    "Append one JSON line per finished device to FILE, flushed to disk before "
                    "its outcome is shown")
        ->type_name("FILE");
    cmd->add_flag("--json", o->json, "Print one JSON object per event on standard output");
    cmd->add_option("--timeout", o->timeoutSeconds,
                    "Seconds to wait for each reply, and for a returned device to open")
        ->check(CLI::Range(0.1, 3600.0))
        ->default_val(10);
    frontend::AddPacingOption(*cmd, o->pacing, frontend::OptionsFor::commandLine);
    cmd->footer(std::string(kStationHelp) + "\n" + kCommonOptionsFooter);
    cmd->callback([o, &common, &exitCode] { exitCode = RunStation(*o, common); });
}

}  // namespace vumo::cli
