#pragma once
// One whole update through the window, in vumo-bench-window: the same dialog as the program,
// on a simulated bus whose transport is timed, with the fixed pauses counted instead of made.
// Unlike the command line the window carries every progress step and every blink of the
// warning out on its own thread while the worker waits, so its turns include those hand-overs.

#include <string>

namespace vumo::bench {

// Updates a device that starts in update mode and answers after 1 ms with `image`, checked by
// `tool`. Prints "turns N median US p99 US max US pauses MS progress_paints N window_cpu_us US"
// on stdout (the last two: how often the progress bar was painted and the CPU time of the
// window's thread from the Update button to the end); returns 0 on success.
int RunWindowConversation(const std::string& image, const std::string& tool);

}  // namespace vumo::bench
