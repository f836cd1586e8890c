#pragma once
// The programs as the user runs them, measured from outside: `vumo-dfu update` on the simulated
// device, and the window (`vumo-dfu-utility`, or `vumo-bench-window`: the same program with a
// probe) left alone or asked for its first paint. Every child has a time limit.

#include "child_process.h"
#include "proc_stats.h"

#include <chrono>
#include <cstddef>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace vumo::bench {

struct Programs {
    std::string bin;      // the built programs
    std::string scratch;  // a folder for images, outputs and logs
    double idleSeconds = 10;
    std::chrono::seconds settle{3};  // start-up of the window left to end before idling
};

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A firmware image of `bytes` with location code `location` (1: a restart follows the upload),
// made by vumo-sample-image.
bool MakeSampleImage(const Programs& o, const std::string& path, std::size_t bytes,
                     std::string& error, int location = 1);

struct UpdateRun {
    std::string error;
    double wall = 0, cpu = 0;  // seconds; CPU of the program and the checksum tool it ran
    double user = 0, sys = 0;  // the CPU time's two parts
    double maxRssMiB = 0;
    long voluntary = 0, involuntary = 0;  // context switches
};

// `vumo-dfu update IMAGE SIMULATE --json [MORE...]`; an error unless it reported success.
UpdateRun RunUpdate(const Programs& o, const std::string& image, const std::string& simulate,
                    const std::vector<std::string>& more = {});

struct StationRun {
    std::string error;
    double wall = 0, cpu = 0;  // seconds; CPU of the whole station process and the checksum tool
    double maxRssMiB = 0;
    long voluntary = 0, involuntary = 0;
};

// `vumo-dfu station IMAGE SIMULATE --count DEVICES --json`; an error unless every device was ok.
StationRun RunStation(const Programs& o, const std::string& image, const std::string& simulate,
                      int devices);

struct Idle {
    std::string error;
    double perSecond = kNaN;  // context switches of all threads
    WakeDelta delta;
};

// How the window is started and left alone for an idle measurement.
struct WindowIdleSetup {
    bool probe = false;       // vumo-bench-window instead of vumo-dfu-utility
    std::string simulate = "--simulate";
    bool open = false;        // press Open on the first device (probe only)
    bool background = false;  // deactivate the window (probe only)
    bool caretBlink = true;   // probe only
};

Idle MeasureWindowIdle(const Programs& o, const WindowIdleSetup& setup);
std::string IdleText(const Idle& idle);

struct Paint {
    std::string error;
    double toPaintMs = kNaN;  // spawn -> first frame painted
    double mainToPaintMs = kNaN;
};

// Spawn of vumo-bench-window --simulate -> its first frame painted.
Paint MeasureFirstPaint(const Programs& o);

// One whole update through the window with the pauses counted (vumo-bench-window
// --bench-conversation); its figures by name, empty when it failed (`error` says why).
std::map<std::string, double> WindowConversation(const Programs& o, const std::string& image,
                                                 std::string& error);

}  // namespace vumo::bench
