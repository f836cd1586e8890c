#pragma once
// The desktop notices a window sends when a run ends while the user looks elsewhere: what
// they say, and the stretch of a station's work they sum up.

#include "update/update_events.h"

#include <chrono>
#include <string>

namespace vumo::session {

struct Notice {
    std::string summary;
    std::string body;
};

// "31 s", "2 min 5 s", "1 h 4 min".
std::string DurationText(double seconds);

// The end of one update: its result and how long it took. `message` is what the window showed
// (its completion text or its error); `serial` may be empty.
Notice UpdateNotice(update::Outcome outcome, const std::string& serial,
                    const std::string& message, double seconds);

// A station's stretch of work, from the first device taken while none ran to the last one
// that finished.
struct StationStretch {
    int ok = 0;
    int failed = 0;
    double seconds = 0;
};
Notice StationNotice(const StationStretch& stretch);

// Counts a station's stretches on the window's thread.
class StretchClock {
public:
    void Started() {
        if (running_++ == 0) {
            stretch_ = {};
            started_ = std::chrono::steady_clock::now();
        }
    }
    // True when it was the last running one: stretch() then sums the stretch up.
    bool Ended(bool ok) {
        if (running_ == 0) return false;
        (ok ? stretch_.ok : stretch_.failed)++;
        if (--running_ != 0) return false;
        stretch_.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        return true;
    }
    const StationStretch& stretch() const { return stretch_; }

private:
    int running_ = 0;
    StationStretch stretch_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace vumo::session
