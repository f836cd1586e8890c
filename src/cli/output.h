#pragma once
// How the command line writes to the terminal: failures with their cause under the fixed
// message, and the -v log of steps with their times. Everything that came from outside (device
// strings, paths, the checksum tool's output) is made terminal-safe on the way out.

#include "messages/causes.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::cli {

// A failure for the terminal: the message as given, then the cause and the hint each on a
// line of its own:
//   vumo-dfu: Open Error (code : 17)
//     cause: permission denied on /dev/hidraw3
//     hint: install the udev rule, run 'udevadm control --reload' and replug the device
// `prefix` stands before the message ("vumo-dfu: ", or a caption and ": "). Ends with a line end.
// The message is made terminal-safe keeping its line breaks, unless `messageIsSafe` says that
// it already is (its device strings escaped one by one).
std::string FailureText(std::string_view prefix, std::string_view message,
                        const messages::Cause& cause, bool messageIsSafe = false);

// "vumo-dfu: " and `message` on stderr, made terminal-safe: for every message that may quote
// something from outside (a recording, a file name, a device).
void SayError(std::string_view message);

// A lower-case reason ("the flash log x can't be opened ...") as the start of a sentence.
std::string SentenceOf(std::string reason);

// A command line as a user would type it into a shell: arguments that need it are quoted.
std::string ShellQuoted(const std::vector<std::string>& argv);

// The -v log on stderr. Each line starts with the seconds since the log began:
//   [  0.012 s] checking the firmware file
// Safe to use from several threads.
class StepLog {
public:
    StepLog(int verbosity, std::FILE* to);
    int verbosity() const { return verbosity_; }
    bool enabled() const { return verbosity_ >= 1; }

    // One step; nothing below -v.
    void Step(std::string_view text);
    // The checksum tool's command line and what it wrote; nothing below -v.
    void ToolRun(const std::vector<std::string>& command, std::string_view output);

    // The time stamp as it starts a line, for `now`.
    std::string Stamp(std::chrono::steady_clock::time_point now) const;

private:
    void Line(std::string_view text);

    int verbosity_;
    std::FILE* to_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
};

}  // namespace vumo::cli
