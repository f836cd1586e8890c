// The parts of the checksum tool's runner that are the same on every system: the verdict
// from the output, the reader's start and end, and handing the results over to the owner.
#include "image/redirector.h"

#include <algorithm>
#include <system_error>

namespace vumo::image {
namespace {

// After the child has ended, how long the output may still take to reach its end: a process
// the tool left behind can hold the pipe open, and its output is not the tool's.
constexpr std::chrono::milliseconds kDrainGrace{500};

// Where the first of two marks starts, and which one it is.
struct Found {
    std::size_t pos = std::string_view::npos;
    bool bankB = false;
};

Found FirstLocationMark(std::string_view text) {
    const std::size_t a = text.find(kLocationMarkA);
    const std::size_t b = text.find(kLocationMarkB);
    if (b < a) return {b, true};
    return {a, false};
}

std::uint8_t LocationCode(char after, bool bankB) {
    switch (after) {
    case '0': return bankB ? 0xDF : 0xBB;
    case '2': return bankB ? 0xD1 : 0x01;
    case '4': return bankB ? 0xD2 : 0x02;
    case '6': return bankB ? 0xD3 : 0x03;
    default: return bankB ? 0xDD : 0xFF;
    }
}

}  // namespace

OutputVerdict OnOutput(std::string_view piece, OutputVerdict previous) {
    // The piece ends at its zero byte, if it holds one.
    piece = piece.substr(0, piece.find('\0'));

    OutputVerdict verdict;
    verdict.isFirmware = piece.find(kFirmwareMark) != std::string_view::npos;
    verdict.location = previous.location;
    const Found found = FirstLocationMark(piece);
    if (found.pos != std::string_view::npos) {
        const std::size_t after = found.pos + kLocationMarkA.size();
        verdict.location = after < piece.size() ? LocationCode(piece[after], found.bankB)
                                                : LocationCode('\0', found.bankB);
    }
    return verdict;
}

const char* describe(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::none: return "not run";
    case RunOutcome::running: return "running";
    case RunOutcome::ended: return "ended";
    case RunOutcome::timedOut: return "timed out";
    case RunOutcome::stopped: return "stopped";
    case RunOutcome::readError: return "output could not be read";
    case RunOutcome::cancelled: return "cancelled";
    }
    return "unknown";
}

CRedirector::CRedirector() = default;

CRedirector::~CRedirector() { Close(); }

void CRedirector::Close() {
    std::lock_guard lock(ownerMutex_);
    CloseLocked();
}

void CRedirector::ResetResults() {
    std::lock_guard lock(ownerMutex_);
    finished_.store(false, std::memory_order_relaxed);
    isFirmware_.store(false, std::memory_order_relaxed);
    location_.store(0, std::memory_order_relaxed);
    if (!reader_.joinable()) outcome_.store(RunOutcome::none, std::memory_order_relaxed);
}

bool CRedirector::WaitUntilDone(std::chrono::milliseconds limit) {
    std::unique_lock lock(doneMutex_);
    return doneChanged_.wait_for(lock, limit, [this] { return done_; });
}

void CRedirector::Publish(RunOutcome outcome) {
    if (outcome == RunOutcome::ended) {
        const OutputVerdict verdict = OnOutput(
            output_, {isFirmware_.load(std::memory_order_relaxed),
                      location_.load(std::memory_order_relaxed)});
        isFirmware_.store(verdict.isFirmware, std::memory_order_relaxed);
        location_.store(verdict.location, std::memory_order_relaxed);
        finished_.store(true, std::memory_order_release);
    }
    outcome_.store(outcome, std::memory_order_release);
    {
        std::lock_guard lock(doneMutex_);
        done_ = true;
    }
    doneChanged_.notify_all();
}

int CRedirector::StartReader(base::Waitable cancel) {
    cancel_ = cancel;
    output_.clear();
    outputBytes_ = 0;
    waitStatus_.store(-1, std::memory_order_relaxed);
    finished_.store(false, std::memory_order_relaxed);
    outcome_.store(RunOutcome::running, std::memory_order_relaxed);
    {
        std::lock_guard doneLock(doneMutex_);
        done_ = false;
    }
    try {
        reader_ = std::thread([this] { ReaderThread(); });
    } catch (const std::system_error& e) {
        EndChild();
        outcome_.store(RunOutcome::none, std::memory_order_relaxed);
        {
            std::lock_guard doneLock(doneMutex_);
            done_ = true;
        }
        return e.code().value();
    }
    return 0;
}

std::optional<RunOutcome> CRedirector::PassEnds(bool eof, const RunLimits& limits,
                                                std::chrono::steady_clock::time_point now,
                                                std::chrono::steady_clock::time_point& wakeAt) {
    if (eof && reaped_) return RunOutcome::ended;
    if (!reaped_ && now >= limits.deadline) {
        WriteDiagnostic("The tool ran out of time\r\n");
        EndChild();
        return RunOutcome::timedOut;
    }
    // Past the drain, something the tool left holds the pipe: its output is not the tool's.
    if (reaped_ && now >= limits.drainUntil) return RunOutcome::ended;
    wakeAt = reaped_ ? limits.drainUntil : limits.deadline;
    return std::nullopt;
}

void CRedirector::Reaped(RunLimits& limits) {
    limits.drainUntil = std::chrono::steady_clock::now() + kDrainGrace;
}

void CRedirector::KeepOutput(const char* data, std::size_t size) {
    outputBytes_ += size;
    if (output_.size() < kMaxKeptOutput)
        output_.append(data, std::min(size, kMaxKeptOutput - output_.size()));
}

void CRedirector::StopReader() {
    if (reader_.joinable()) {
        // The reader never calls Close; only an owner's thread gets here.
        stop_.signal();
        reader_.join();
    }
    // The reader always leaves its child reaped or handed over; this covers a reader that
    // never started.
    if (!reaped_) EndChild();
    child_ = -1;
    childPid_.store(-1, std::memory_order_release);
    cancel_ = base::Waitable();
    stop_.clear();
}

}  // namespace vumo::image
