#pragma once
// The sections of the results page that vumo-bench measures itself: the micro-benchmarks, whole
// updates, the station against one device, the window. Each fills its figures; a figure it
// could not take carries the reason.

#include "options.h"
#include "machine.h"
#include "programs.h"
#include "report.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vumo::bench {

constexpr std::size_t kFullImageBytes = 131'071;        // 1024 blocks
constexpr std::size_t kShortImageBytes = 16 * 128 - 1;  // 16 blocks

// Every figure of the page, in the order the table gives them.
struct Figures {
    explicit Figures(const std::string& blocks)
        : cpuRatio("CPU time (user + sys) / wall time of a whole " + blocks +
                       " update, application-mode path",
                   "≤ 0.02", 0.02),
          floorRatio("Update wall time / pacing floor, reply delay 0", "≤ 1.02", 1.02),
          turn("Reply received at the transport → next report written, fixed pauses excluded; "
               "command-line front end",
               "≤ 100 µs median", 100),
          turnWindow("The same through the window (its front end waits for each progress step "
                     "and warning blink to be carried out on the window's thread)",
                     "≤ 100 µs median", 100),
          idleNothing("Wake-ups per second of an idle `vumo-dfu-utility`, nothing open", "≤ 1",
                      1),
          idleOpen("The same with a device open and silent", "≤ 3", 3),
          paint("Window start → first paint, offscreen", "≤ 100 ms", 100),
          load("Check + load + block CRCs of a 131,071-byte image, the tool's run excluded",
               "≤ 5 ms", 5),
          rss("Peak resident memory of `vumo-dfu update` over a " + blocks + " update",
              "≤ 20 MiB", 20),
          stationScale("Station wall time, " + std::to_string(kStationDevices) +
                           " devices in parallel / 1 device, " + blocks +
                           " image, application-mode path",
                       "≤ 1.15", 1.15),
          stationCpu("CPU time / wall time of the whole `vumo-dfu station` process flashing " +
                         std::to_string(kStationDevices) + " devices",
                     "≤ 0.05", 0.05),
          stationRss("Peak resident memory of `vumo-dfu station` flashing " +
                         std::to_string(kStationDevices) + " devices",
                     "≤ 30 MiB", 30),
          nothingBackground("Context: the same, nothing open, window in the background"),
          openBackground("Context: the same, device open and silent, window in the background"),
          caretOff("Context: the same, nothing open, window active, caret not blinking"),
          listener("Context: wake-ups per second of a device object open on a silent device, "
                   "in-process (the listener and the simulated device alone)"),
          fromDevice("Context: reply handed to the bus by the device → next report written, "
                     "pauses excluded") {}

    static constexpr int kStationDevices = 8;
    Figure cpuRatio, floorRatio, turn, turnWindow, idleNothing, idleOpen, paint, load, rss;
    Figure stationScale, stationCpu, stationRss;
    Figure nothingBackground, openBackground, caretOff, listener, fromDevice;

    // Each with the part that measures it.
    std::vector<std::pair<Figure*, const char*>> All() {
        return {{&cpuRatio, "update"},          {&floorRatio, "update"},
                {&turn, "micro"},               {&turnWindow, "window"},
                {&idleNothing, "window"},       {&idleOpen, "window"},
                {&paint, "window"},             {&load, "micro"},
                {&rss, "update"},               {&stationScale, "station"},
                {&stationCpu, "station"},       {&stationRss, "station"},
                {&nothingBackground, "window"},
                {&openBackground, "window"},    {&caretOff, "window"},
                {&listener, "window"},          {&fromDevice, "micro"}};
    }
};

// Google Benchmark: the micro-benchmarks, and the in-process conversation. False when the
// benchmark flags were wrong.
bool MicroFigures(const Options& o, const std::string& scratch, int benchArgc, char** benchArgv,
                  Figures& f, Report& report);
// Whole updates as the user runs them, and the pacing floor they are held against.
void UpdateFigures(const Options& o, const Programs& programs, Figures& f, Report& report,
                   std::vector<LoadSpan>& loads);
// The station: the same image to 8 simulated devices at once and to 1.
void StationFigures(const Options& o, const Programs& programs, Figures& f,
                    std::vector<LoadSpan>& loads);
// The window: idle wake-ups, the conversation through it, its first paint.
void WindowFigures(const Options& o, const Programs& programs, Figures& f, Report& report,
                   std::vector<LoadSpan>& loads);

}  // namespace vumo::bench
