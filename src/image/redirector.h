#pragma once
// CRedirector runs one console program at a time - the checksum tool - with its standard output
// and standard error joined into one pipe, collects that output on a reader thread, and when
// the program has ended examines the whole output for the two texts the firmware check rests
// on: "Adding 0x10008000" (the file is firmware) and "Adding 0x1a0" followed by one character
// (the location code).
//
// Why the output is examined as one piece at the end and not read by read: a pipe hands the
// output over in pieces of arbitrary size, so a verdict taken piece by piece depends on where
// the kernel happened to cut it (a mark torn in two, or found in one piece and forgotten in the
// next). The first kMaxKeptOutput bytes are kept; anything beyond is read and dropped so that
// the child never blocks on a full pipe.
//
// The child: started with posix_spawn from an argument vector - no shell, so a path with
// blanks, quotes, ';' or "$(...)" is one argument and nothing else. argv[0] must be an absolute
// path (see tool_lookup.h): posix_spawn would otherwise look in the current folder. stdout and
// stderr both go to the write end of one pipe; stdin is the read end of a second pipe whose
// write end the runner keeps open and never writes, so a child that reads stdin waits (and
// runs into the time limit) instead of seeing an end of input. Every descriptor the runner
// makes is close-on-exec, so the child inherits exactly those three. The child gets a process
// group of its own, so a time-out can end everything it started.
//
// Time limit: a child still running kTimeLimit after Open is killed (SIGKILL to its process
// group) and reaped; the run ends as timedOut.
//
// Cancellation: Open may be given a Waitable of the owner's (its stop requests, a wake event)
// that the reader waits for beside the pipe. Once it is set the child is killed and reaped at
// once and the run ends as cancelled. The runner only waits for it, never clears or closes it,
// so the owner still sees whatever set it.
//
// Reaping: after SIGKILL the reader waits for the child's end at most the kill grace. A child
// that is still not reaped then (stuck in an uninterruptible wait in the kernel) is handed to
// the ChildReaper, which reaps it whenever it ends. So no child is left as a zombie, and no
// run waits longer than the grace for one.
//
// Threads and ownership: the owner's thread calls Open, Close, ResetResults, the accessors and
// WaitUntilDone; the reader thread only reads the pipe, reaps the child and publishes the
// results. The reader never closes a descriptor and never joins itself: every descriptor
// belongs to the runner and is released by Close on the owner's side, after the reader has
// been stopped and joined, so each is released exactly once however Close calls and the
// reader's end overlap. A mutex makes Open and Close safe even from two owner threads.
//
// Publishing: the reader stores isFirmware and location, then sets finished with release
// order; a reader of IsFinished() (acquire) that sees true also sees the other two results.

#include "base/unique_fd.h"
#include "base/wake_event.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vumo::image {

using base::UniqueFd;

// What a run of the checksum tool may take before it is killed.
inline constexpr std::chrono::milliseconds kToolTimeLimit{30'000};
// How long a killed child may take to end before it is handed to the ChildReaper. A process
// that SIGKILL reaches ends within milliseconds; only one stuck in the kernel takes longer.
inline constexpr std::chrono::milliseconds kKillGrace{500};
// Output kept for examination; the rest is drained and dropped.
inline constexpr std::size_t kMaxKeptOutput = std::size_t{1} << 20;

// The texts the verdict rests on.
inline constexpr std::string_view kFirmwareMark = "Adding 0x10008000";
inline constexpr std::string_view kLocationMarkA = "Adding 0x1a0";  // flash bank A
inline constexpr std::string_view kLocationMarkB = "Adding 0x1b0";  // flash bank B

struct OutputVerdict {
    bool isFirmware = false;
    std::uint8_t location = 0;
    bool operator==(const OutputVerdict&) const = default;
};

// Examines one piece of output and returns the verdict after it; pure.
//  - The piece ends at its first zero byte, if it holds one.
//  - isFirmware is decided afresh: true iff kFirmwareMark occurs.
//  - The first occurrence of "Adding 0x1a0" or "Adding 0x1b0" (whichever starts earlier) sets
//    the location from the one character after it:
//        after "Adding 0x1a0":  '0' -> 0xBB, '2' -> 0x01, '4' -> 0x02, '6' -> 0x03
//        after "Adding 0x1b0":  '0' -> 0xDF, '2' -> 0xD1, '4' -> 0xD2, '6' -> 0xD3
//        any other character, or the end of the piece: 0xFF for bank A, 0xDD for bank B.
//    Without either text the location is `previous.location`.
//  Bank B: a reset handler in the second flash bank (0x1B0xxxxx) prints "Adding 0x1b0"; such an
//  image gets a bank-B code of its own instead of being taken for whatever code was there
//  before, so it can never be written to a bank-A slot by mistake.
//  The bytes are examined as they are; the marks are ASCII, so the text's encoding does not
//  matter to them.
OutputVerdict OnOutput(std::string_view piece, OutputVerdict previous);

enum class RunOutcome : std::uint8_t {
    none,       // no run since construction or ResetResults
    running,
    ended,      // the child ended and its output was read to the end
    timedOut,   // the time limit passed; the child was killed
    stopped,    // Close was called during the run; the child was killed
    readError,  // reading the pipe failed; the child was killed
    cancelled,  // the cancel descriptor became readable; the child was killed
};

const char* describe(RunOutcome outcome);

// How a reaped child ended.
struct ChildEnd {
    std::optional<int> exitStatus;  // it exited with this status (Windows: its exit code)
    std::optional<int> signal;      // a signal ended it (Linux)
};

class CRedirector {
public:
    CRedirector();
    ~CRedirector();  // Close()
    CRedirector(const CRedirector&) = delete;
    CRedirector& operator=(const CRedirector&) = delete;

    // Starts argv[0] (an absolute path) with the arguments argv[1..] and the reader thread.
    // Closes an earlier run first. False when the program could not be started (not found,
    // not executable, exec failed) or a pipe or the thread could not be made; then nothing is
    // left open and LastError() holds the errno. `cancel` (not owned; empty for none) ends the
    // run as cancelled once it is set; it must stay open until the run is done.
    bool Open(const std::vector<std::string>& argv, base::Waitable cancel = {});
    // Stops the reader (killing and reaping a child that is still running), joins it and
    // releases every descriptor. The results stay readable. Does nothing when idle.
    void Close();
    // Clears the three results and the outcome. Call while idle.
    void ResetResults();

    bool IsFinished() const { return finished_.load(std::memory_order_acquire); }
    bool IsFirmwareFile() const { return isFirmware_.load(std::memory_order_relaxed); }
    std::uint8_t GetLocation() const { return location_.load(std::memory_order_relaxed); }

    // Waits until the reader has ended (the child ended, timed out, stopped or failed), at
    // most `limit`. True when it has.
    bool WaitUntilDone(std::chrono::milliseconds limit);
    RunOutcome Outcome() const { return outcome_.load(std::memory_order_acquire); }
    // The child's wait status once it has been reaped, else -1 (on Windows its exit code).
    int WaitStatus() const { return waitStatus_.load(std::memory_order_acquire); }
    // The same in words that mean one thing everywhere; empty until it has been reaped.
    ChildEnd End() const;
    // The kept output and the count of all bytes read; read them once the run is done.
    const std::string& Output() const { return output_; }
    std::size_t OutputBytes() const { return outputBytes_; }
    int LastError() const { return lastError_; }

    void SetTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
    std::chrono::milliseconds TimeLimit() const { return timeLimit_; }
    // The child's process id while a run is on, else -1 (for diagnostics and tests).
    pid_t ChildPid() const { return childPid_.load(std::memory_order_acquire); }

    // How a child is killed: by default SIGKILL to its process group and to the child itself.
    // Tests stand in for a child that does not die at once. Set while idle.
    using Killer = std::function<void(pid_t child)>;
    void SetKiller(Killer killer) { killer_ = std::move(killer); }
    void SetKillGrace(std::chrono::milliseconds grace) { killGrace_ = grace; }

private:
    void CloseLocked();
    // The start and the end of a run that are the same on every system: with the child
    // started, sets the results to "running" and starts the reader (0, or the error it could
    // not be started with, the child then ended); stops and joins the reader and ends the
    // child, before the system's own handles are released.
    int StartReader(base::Waitable cancel);
    void StopReader();
    void ReaderThread();
    // The limits the reader's loop checks at each pass: the time limit while the child runs,
    // then a short drain of what the child left in the pipe.
    struct RunLimits {
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::time_point drainUntil =
            std::chrono::steady_clock::time_point::max();
    };
    // At the top of a pass: the outcome the run ends with now, if it ends (the output read to
    // its end with the child reaped, the drain over, or the time limit passed: the child is
    // then killed). Otherwise nothing, and `wakeAt` is when the pass must look again.
    std::optional<RunOutcome> PassEnds(bool eof, const RunLimits& limits,
                                       std::chrono::steady_clock::time_point now,
                                       std::chrono::steady_clock::time_point& wakeAt);
    // Once the child is reaped: what it left in the pipe is read for a short while more.
    void Reaped(RunLimits& limits);
    // Output read: counted, and kept up to kMaxKeptOutput.
    void KeepOutput(const char* data, std::size_t size);
    // Reads what the pipe holds; false on a read error. Sets eof at the end of the output.
    bool ReadAvailableOutput(bool& eof);
    // Kills the child's process group if the child is still running, then reaps it within
    // the kill grace or hands it to the ChildReaper.
    void EndChild();
    bool TryReap();  // without blocking; true once the child is reaped
    void Publish(RunOutcome outcome);
    // The runner's own diagnostics go nowhere: nobody is shown or logs them.
    static void WriteDiagnostic(std::string_view) {}

    std::mutex ownerMutex_;  // Open and Close
    std::thread reader_;
    base::WakeEvent stop_;           // asks the reader to stop
    base::Waitable cancel_;          // the owner's, waited for only
#ifdef _WIN32
    // The child's process and the job that ends everything it started with it; the pipes'
    // handles as the C runtime's descriptors are not needed: these are the system's.
    void* process_ = nullptr;        // HANDLE
    void* job_ = nullptr;            // HANDLE
    void* stdinWrite_ = nullptr;     // HANDLE, kept open, never written
    void* stdoutRead_ = nullptr;     // HANDLE, the child's stdout and stderr
#else
    UniqueFd stdinWrite_;            // the child's stdin; kept open, never written
    UniqueFd stdoutRead_;            // the child's stdout and stderr
    UniqueFd childPidFd_;            // readable once the child has ended (when available)
#endif
    pid_t child_ = -1;
    bool reaped_ = true;

    std::atomic<pid_t> childPid_{-1};

    std::chrono::milliseconds timeLimit_ = kToolTimeLimit;
    std::chrono::milliseconds killGrace_ = kKillGrace;
    Killer killer_;
    int lastError_ = 0;

    // Written by the reader only; read by the owner after it has seen the run done.
    std::string output_;
    std::size_t outputBytes_ = 0;

    std::atomic<bool> finished_{false};
    std::atomic<bool> isFirmware_{false};
    std::atomic<std::uint8_t> location_{0};
    std::atomic<RunOutcome> outcome_{RunOutcome::none};
    std::atomic<int> waitStatus_{-1};

    std::mutex doneMutex_;
    std::condition_variable doneChanged_;
    bool done_ = true;
};

}  // namespace vumo::image
