#pragma once
// What `vumo-dfu station` shows while it runs: on a terminal one line per device, redrawn in
// place, finished devices kept above the running ones; elsewhere one plain line per event; with
// --json one JSON object per event (JSON Lines).
//
// The station calls the observer from its supervisor, its watcher and every update worker;
// everything here happens under one mutex. On a terminal the observer only records the change
// and pokes an eventfd; the front end's thread redraws, at most ten times a second.

#include "base/wake_event.h"
#include "station/station.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vumo::cli {

enum class StationView { terminal, plain, json };

class StationConsole final : public station::StationObserver {
public:
    // `out` gets the display or the events; `notes` the station's own remarks where they can't
    // go into the display (plain and JSON views). `wake` is signalled on every change in the
    // terminal view (null for none); it must outlive the console.
    StationConsole(StationView view, std::FILE* out, std::FILE* notes,
                   const base::WakeEvent* wake);

    void DeviceArrived(const station::StationDevice& device) override;
    void DeviceSkipped(const station::StationDevice& device, const std::string& why) override;
    void PhaseChanged(const station::StationDevice& device, update::Phase phase,
                      std::uint32_t block, std::uint32_t blocks) override;
    void DeviceFinished(const station::FinishedDevice& finished) override;
    void DeviceLeft(const station::StationDevice& device) override;

    // A remark of the station's own ("no new device is started ..."): above the running lines
    // on a terminal, on `notes` otherwise.
    void Note(const std::string& text);

    // Terminal view: draws what changed. From the front end's thread only.
    void Redraw();
    // Whether a redraw has something to show; whether a device is running (its elapsed time
    // goes on changing).
    bool dirty() const;
    bool anyRunning() const;

    struct Tally {
        int ok = 0;
        int failed = 0;       // failed at a step
        int interrupted = 0;  // stopped by a second Ctrl-C
        int skipped = 0;
        // "VUMO-0007 (DFU upload time out : 5)" for each device not ok, in the order they ended.
        std::vector<std::pair<std::string, std::string>> notOk;  // who, message
    };
    Tally tally() const;

    // The last line: "12 ok, 1 failed: VUMO-0007 (DFU upload time out : 5)", or its JSON
    // object. Clears the running lines on a terminal first.
    void Summary();

private:
    struct Line {
        station::StationDevice device;
        std::optional<update::Phase> phase;
        std::uint32_t block = 0;  // blocks confirmed
        std::uint32_t blocks = 0;
        int lastTenth = 0;        // the last tenth of the upload told as progress
        std::chrono::steady_clock::time_point started;
    };

    void Emit(const std::string& text);  // a whole line (or lines) to `out`, flushed
    void Commit(const std::string& text);  // terminal: kept above the running lines
    void Poke();
    std::string LiveLine(const Line& line, std::chrono::steady_clock::time_point now) const;
    std::string Footer() const;

    const StationView view_;
    std::FILE* const out_;
    std::FILE* const notes_;
    const base::WakeEvent* const wake_;

    mutable std::mutex mutex_;
    std::map<int, Line> running_;      // by the station's id
    std::vector<std::string> committed_;  // terminal: finished lines not yet drawn
    int drawnLines_ = 0;                  // terminal: running lines drawn last time
    bool dirty_ = true;
    Tally tally_;
};

// The JSON name of a phase ("switching-mode", "uploading", ...).
const char* PhaseJsonName(update::Phase phase);

}  // namespace vumo::cli
