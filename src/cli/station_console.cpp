#include "cli/station_console.h"

#include "cli/output.h"
#include "text/json.h"
#include "text/utf8.h"
#include "update/update_procedure.h"


#include <algorithm>
#include <cstdio>

namespace vumo::cli {
namespace {

using text::JsonString;

const char* PhaseText(update::Phase phase) {
    switch (phase) {
        case update::Phase::switchingMode: return "switching mode";
        case update::Phase::settling: return "waiting for it";
        case update::Phase::handshake: return "handshake";
        case update::Phase::uploading: return "uploading";
        case update::Phase::finishing: return "finishing";
        case update::Phase::restarting: return "restarting";
        case update::Phase::confirming: return "confirming its start";
    }
    return "";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string ShortSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

// How a device is named to a person: its serial, or where it is plugged in.
std::string Who(const station::StationDevice& d) {
    if (!d.serial.empty()) return d.serial;
    return d.port.empty() ? "device " + std::to_string(d.id) : "(no serial) at " + d.port;
}

// The device's two names for a terminal, in columns.
std::string Columns(const station::StationDevice& d) {
    const std::string serial = d.serial.empty() ? "(no serial)" : text::TerminalSafe(d.serial);
    return Padded(serial, 12) + " " + Padded(text::TerminalSafe(d.port), 10) + "  ";
}

// The head of a plain line: "VUMO-0001 sim-1: ".
std::string Head(const station::StationDevice& d) {
    std::string head = d.serial.empty() ? "(no serial)" : text::TerminalSafe(d.serial);
    if (!d.port.empty()) head += " " + text::TerminalSafe(d.port);
    return head + ": ";
}

std::string JsonDevice(const char* event, const station::StationDevice& d) {
    return std::string("{\"event\": \"") + event + "\", \"id\": " + std::to_string(d.id) +
           ", \"serial\": " + JsonString(d.serial) + ", \"port\": " + JsonString(d.port);
}

}  // namespace

const char* PhaseJsonName(update::Phase phase) {
    switch (phase) {
        case update::Phase::switchingMode: return "switching-mode";
        case update::Phase::settling: return "settling";
        case update::Phase::handshake: return "handshake";
        case update::Phase::uploading: return "uploading";
        case update::Phase::finishing: return "finishing";
        case update::Phase::restarting: return "restarting";
        case update::Phase::confirming: return "confirming";
    }
    return "";
}

StationConsole::StationConsole(StationView view, std::FILE* out, std::FILE* notes,
                               const base::WakeEvent* wake)
    : view_(view), out_(out), notes_(notes), wake_(view == StationView::terminal ? wake : nullptr) {}

void StationConsole::Emit(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void StationConsole::Commit(const std::string& text) {
    committed_.push_back(text);
    dirty_ = true;
}

void StationConsole::Poke() {
    if (wake_ != nullptr) wake_->signal();
}

void StationConsole::DeviceArrived(const station::StationDevice& device) {
    {
        std::lock_guard lock(mutex_);
        Line line;
        line.device = device;
        line.started = std::chrono::steady_clock::now();
        running_[device.id] = line;
        dirty_ = true;
        switch (view_) {
            case StationView::terminal: break;
            case StationView::plain:
                Emit(Head(device) + "taken in " + station::ModeName(device.modeAtStart) +
                     " mode\n");
                break;
            case StationView::json:
                Emit(JsonDevice("arrived", device) + ", \"mode\": " +
                     JsonString(station::ModeName(device.modeAtStart)) + "}\n");
                break;
        }
    }
    Poke();
}

void StationConsole::DeviceSkipped(const station::StationDevice& device, const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        ++tally_.skipped;
        switch (view_) {
            case StationView::terminal:
                Commit(text::TerminalSafe(why) +
                       (device.port.empty() ? "" : " (" + text::TerminalSafe(device.port) + ")") +
                       "\n");
                break;
            case StationView::plain:
                Emit(Head(device) + "skipped: " + text::TerminalSafe(why) + "\n");
                break;
            case StationView::json:
                Emit(JsonDevice("skipped", device) + ", \"message\": " + JsonString(why) + "}\n");
                break;
        }
    }
    Poke();
}

void StationConsole::PhaseChanged(const station::StationDevice& device, update::Phase phase,
                                  std::uint32_t block, std::uint32_t blocks) {
    {
        std::lock_guard lock(mutex_);
        const auto it = running_.find(device.id);
        if (it == running_.end()) return;
        Line& line = it->second;
        const bool newPhase = !line.phase || *line.phase != phase;
        line.phase = phase;
        line.blocks = blocks;
        // The worker tells a block as it sends it; the block before it was confirmed.
        line.block = phase == update::Phase::uploading ? block : blocks;
        dirty_ = true;
        if (view_ == StationView::terminal) {
            // Redrawn from the front end's thread.
        } else if (newPhase) {
            if (view_ == StationView::plain)
                Emit(Head(device) + PhaseText(phase) + "\n");
            else
                Emit(JsonDevice("phase", device) + ", \"phase\": \"" + PhaseJsonName(phase) +
                     "\"}\n");
        }
        // Progress at most at every tenth of the upload, counting the blocks confirmed.
        if (view_ != StationView::terminal && phase == update::Phase::uploading && blocks > 0) {
            const int tenth = static_cast<int>(std::uint64_t{block} * 10 / blocks);
            if (tenth > line.lastTenth) {
                line.lastTenth = tenth;
                if (view_ == StationView::plain)
                    Emit(Head(device) + "block " + std::to_string(block) + " of " +
                         std::to_string(blocks) + "\n");
                else
                    Emit(JsonDevice("progress", device) + ", \"block\": " +
                         std::to_string(block) + ", \"blocks\": " + std::to_string(blocks) +
                         "}\n");
            }
        }
    }
    Poke();
}

void StationConsole::DeviceFinished(const station::FinishedDevice& f) {
    {
        std::lock_guard lock(mutex_);
        running_.erase(f.device.id);
        const auto& r = f.result;
        switch (r.outcome) {
            case update::Outcome::ok: ++tally_.ok; break;
            case update::Outcome::failed: ++tally_.failed; break;
            case update::Outcome::interrupted: ++tally_.interrupted; break;
        }
        if (r.outcome != update::Outcome::ok) tally_.notOk.emplace_back(Who(f.device), r.message);

        if (view_ == StationView::json) {
            std::string line = JsonDevice("finished", f.device) + ", \"outcome\": " +
                               JsonString(update::OutcomeName(r.outcome)) + ", \"step\": " +
                               JsonString(update::StepName(r.step)) + ", \"message\": " +
                               JsonString(r.message) + ", \"blocks\": " +
                               std::to_string(r.blocks) + ", \"blocks_sent\": " +
                               std::to_string(r.blocksSent) + ", \"seconds\": " +
                               Seconds(f.seconds);
            if (!r.explanation.text.empty())
                line += ", \"cause\": " + JsonString(r.explanation.text);
            if (!r.explanation.text.empty() && !r.explanation.hint.empty())
                line += ", \"hint\": " + JsonString(r.explanation.hint);
            if (!r.note.empty()) line += ", \"note\": " + JsonString(r.note);
            Emit(line + "}\n");
        } else {
            const std::string head =
                view_ == StationView::terminal ? Columns(f.device) : Head(f.device);
            std::string text;
            if (r.outcome == update::Outcome::ok) {
                text = head + "ok: " + std::to_string(r.blocks) + " blocks in " +
                       ShortSeconds(f.seconds) + "\n";
                if (!r.note.empty()) text += "  note: " + text::TerminalSafe(r.note) + "\n";
            } else {
                text = FailureText(head + update::OutcomeName(r.outcome) + " at " +
                                       update::StepName(r.step) + " after " +
                                       ShortSeconds(f.seconds) + ": ",
                                   r.message, r.explanation);
            }
            if (view_ == StationView::terminal)
                Commit(text);
            else
                Emit(text);
        }
        dirty_ = true;
    }
    Poke();
}

void StationConsole::DeviceLeft(const station::StationDevice& device) {
    std::lock_guard lock(mutex_);
    if (view_ == StationView::plain) Emit(Head(device) + "left the bus\n");
    if (view_ == StationView::json) Emit(JsonDevice("left", device) + "}\n");
}

void StationConsole::Note(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (view_ == StationView::terminal) {
            Commit(text + "\n");
        } else {
            std::fprintf(notes_, "%s\n", text.c_str());
            std::fflush(notes_);
        }
    }
    Poke();
}

bool StationConsole::dirty() const {
    std::lock_guard lock(mutex_);
    return dirty_;
}

bool StationConsole::anyRunning() const {
    std::lock_guard lock(mutex_);
    return !running_.empty();
}

StationConsole::Tally StationConsole::tally() const {
    std::lock_guard lock(mutex_);
    return tally_;
}

std::string StationConsole::LiveLine(const Line& line,
                                     std::chrono::steady_clock::time_point now) const {
    constexpr std::uint32_t kWidth = 20;
    const std::uint32_t filled = line.blocks ? kWidth * std::min(line.block, line.blocks) / line.blocks : 0;
    std::string bar(filled, '#');
    bar.resize(kWidth, '.');
    const double elapsed = std::chrono::duration<double>(now - line.started).count();
    return Columns(line.device) + Padded(line.phase ? PhaseText(*line.phase) : "opening", 21) +
           "[" + bar + "] " +
           Padded(std::to_string(line.block) + "/" + std::to_string(line.blocks), 10) +
           ShortSeconds(elapsed);
}

std::string StationConsole::Footer() const {
    std::string text = std::to_string(tally_.ok) + " ok, " +
                       std::to_string(tally_.failed + tally_.interrupted) + " failed, " +
                       std::to_string(running_.size()) + " running";
    return text + "; waiting for devices (Ctrl-C ends the station)";
}

void StationConsole::Redraw() {
    std::lock_guard lock(mutex_);
    if (view_ != StationView::terminal) return;
    std::string out;
    // Back to the first running line, then everything below it anew.
    if (drawnLines_ > 0) out += "\r\x1b[" + std::to_string(drawnLines_) + "A";
    out += "\r\x1b[J";
    for (const auto& text : committed_) out += text;
    committed_.clear();
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [id, line] : running_) out += LiveLine(line, now) + "\n";
    out += Footer() + "\n";
    drawnLines_ = static_cast<int>(running_.size()) + 1;
    dirty_ = false;
    Emit(out);
}

void StationConsole::Summary() {
    std::lock_guard lock(mutex_);
    const int failed = tally_.failed + tally_.interrupted;
    if (view_ == StationView::json) {
        Emit("{\"event\": \"summary\", \"ok\": " + std::to_string(tally_.ok) +
             ", \"failed\": " + std::to_string(failed) + ", \"interrupted\": " +
             std::to_string(tally_.interrupted) + ", \"skipped\": " +
             std::to_string(tally_.skipped) + "}\n");
        return;
    }
    std::string out;
    if (view_ == StationView::terminal) {
        if (drawnLines_ > 0) out += "\r\x1b[" + std::to_string(drawnLines_) + "A";
        out += "\r\x1b[J";
        for (const auto& text : committed_) out += text;
        committed_.clear();
        drawnLines_ = 0;
    }
    out += std::to_string(tally_.ok) + " ok, " + std::to_string(failed) + " failed";
    for (std::size_t i = 0; i < tally_.notOk.size(); ++i) {
        const auto& [who, message] = tally_.notOk[i];
        out += (i == 0 ? ": " : ", ") + text::TerminalSafe(who) + " (" +
               text::TerminalSafe(message) + ")";
    }
    Emit(out + "\n");
}

}  // namespace vumo::cli
