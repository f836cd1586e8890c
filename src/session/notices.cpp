#include "session/notices.h"

#include <algorithm>
#include <cmath>

namespace vumo::session {

std::string DurationText(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    if (total < 60) return std::to_string(total) + " s";
    if (total < 3600) return std::to_string(total / 60) + " min " + std::to_string(total % 60) + " s";
    return std::to_string(total / 3600) + " h " + std::to_string(total % 3600 / 60) + " min";
}

namespace {

// A box's text on one line: the completion text keeps its "\r\n".
std::string OneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            if (!line.empty() && line.back() != ' ') line += ' ';
            continue;
        }
        line += c;
    }
    return line;
}

}  // namespace

Notice UpdateNotice(update::Outcome outcome, const std::string& serial, const std::string& message,
                    double seconds) {
    const std::string device = serial.empty() ? "the device" : serial;
    const std::string took = " (" + DurationText(seconds) + ")";
    switch (outcome) {
        case update::Outcome::ok:
            return {"Firmware update done", device + ": " + OneLine(message) + took};
        case update::Outcome::interrupted:
            return {"Firmware update interrupted", device + ": the update was stopped" + took};
        case update::Outcome::failed: break;
    }
    return {"Firmware update failed", device + ": " + OneLine(message) + took};
}

Notice StationNotice(const StationStretch& stretch) {
    const int all = stretch.ok + stretch.failed;
    Notice notice;
    notice.summary = stretch.failed == 0 ? "Station: every device flashed"
                                         : "Station: " + std::to_string(stretch.failed) +
                                               (stretch.failed == 1 ? " device" : " devices") +
                                               " failed";
    notice.body = std::to_string(all) + (all == 1 ? " device" : " devices") + " in " +
                  DurationText(stretch.seconds) + ": " + std::to_string(stretch.ok) + " ok, " +
                  std::to_string(stretch.failed) + " failed";
    return notice;
}

}  // namespace vumo::session
