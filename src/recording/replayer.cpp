#include "recording/replayer.h"

#include "text/hex.h"

#include <algorithm>

namespace vumo::recording {
namespace {

using Clock = std::chrono::steady_clock;
using platform::ReadStatus;

}  // namespace

bool IsDeviceEvent(const Event& e) {
    switch (e.kind) {
        case EventKind::read: return e.readStatus != ReadStatus::cancelled;
        case EventKind::arrival:
        case EventKind::removal: return true;
        default: return false;
    }
}

std::string SpacedBytes(std::span<const std::uint8_t> bytes) {
    std::size_t shown = bytes.size();
    while (shown > 0 && bytes[shown - 1] == 0) --shown;
    const std::size_t zeros = bytes.size() - shown;
    if (zeros <= 8) shown = bytes.size();
    std::string out;
    for (std::size_t i = 0; i < shown; ++i) {
        if (i) out += ' ';
        out += text::Hex(bytes.subspan(i, 1));
    }
    if (shown < bytes.size())
        out += (shown ? " " : "") + std::string("and ") + std::to_string(zeros) + " bytes 00";
    if (bytes.empty()) out = "(nothing)";
    return out + " (" + std::to_string(bytes.size()) + " bytes)";
}

Replayer::Replayer(Recording recording, double speed, std::string file, Words words,
                   ReplayStage& stage, std::function<void(const std::string&)> note)
    : rec_(std::move(recording)),
      lookup_(rec_),
      speed_(speed),
      file_(std::move(file)),
      words_(words),
      stage_(stage),
      note_(std::move(note)),
      anchorReal_(Clock::now()) {}

Replayer::~Replayer() { stop(); }

void Replayer::startLocked() {
    anchorReal_ = Clock::now();
    anchorMicros_ = 0;
    player_ = std::thread([this] { Loop(); });
}

void Replayer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (player_.joinable()) player_.join();
}

std::string Replayer::where(std::size_t i) const {
    return "event " + std::to_string(i + 1) + " (line " + std::to_string(i + 2) + " of " + file_ +
           ")";
}

void Replayer::passHostEvents() {
    while (next_ < rec_.events.size() && !IsWrite(next_) && !IsDevice(next_)) stage_.pass(next_++);
    if (next_ == rec_.events.size() && !endNoted_ && diverged_.empty()) {
        endNoted_ = true;
        if (note_) note_("the recording has been played to its end");
        wake_.notify_all();
    }
}

const Event* Replayer::matchWrite(const std::string& path, std::span<const std::uint8_t> report) {
    if (!diverged_.empty()) return nullptr;
    // What the device did before the next recorded write comes now, in order, even if its time
    // has not come: the program did not wait for it this time.
    while (next_ < rec_.events.size() && !IsWrite(next_)) {
        if (IsDevice(next_)) stage_.play(next_++);
        else passHostEvents();
    }
    const std::string writer(words_.writer);
    if (next_ == rec_.events.size()) {
        Diverge("the " + writer + " wrote a report after the end of the recording (" +
                std::to_string(rec_.events.size()) + " events in " + file_ + ")\n  to " + path +
                ": " + SpacedBytes(report));
        return nullptr;
    }
    const Event& w = rec_.events[next_];
    const bool same =
        w.path == path && std::equal(report.begin(), report.end(), w.data.begin(), w.data.end());
    if (!same) {
        std::string what = where(next_) + " differs: the recording has the " + writer + " write";
        what += "\n  expected: " + w.path + ": " + SpacedBytes(w.data);
        what += "\n  actual:   " + path + ": " + SpacedBytes(report);
        if (w.path == path) {
            std::size_t at = 0;
            while (at < report.size() && at < w.data.size() && report[at] == w.data[at]) ++at;
            what += "\n  first difference at byte " + std::to_string(at) + " of the report";
        }
        Diverge(std::move(what));
        return nullptr;
    }
    anchorReal_ = Clock::now();
    anchorMicros_ = w.micros;
    ++next_;
    passHostEvents();
    wake_.notify_all();
    return &w;
}

void Replayer::Diverge(std::string what) {
    if (!diverged_.empty()) return;
    diverged_ = "replay stopped: " + std::move(what);
    std::string recordedImage;
    std::uint64_t recordedSize = 0;
    for (const auto& e : rec_.events) {
        if (e.kind == EventKind::image) {
            recordedImage = e.sha256;
            recordedSize = e.size;
        }
    }
    if (!imageSha_.empty() && !recordedImage.empty() &&
        (imageSha_ != recordedImage || imageSize_ != recordedSize)) {
        diverged_ += "\n  the firmware file is not the recorded one: sha256 " + imageSha_ + ", " +
                     std::to_string(imageSize_) + " bytes; recorded: " + recordedImage + ", " +
                     std::to_string(recordedSize) + " bytes";
    }
    if (note_) note_(diverged_);
    divergedEvent_.signal();
    wake_.notify_all();
}

// The thread that plays the device's events at their time.
void Replayer::Loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        passHostEvents();
        if (!diverged_.empty() || next_ == rec_.events.size() || IsWrite(next_)) {
            wake_.wait(lock);
            continue;
        }
        const auto delay = rec_.events[next_].micros - anchorMicros_;
        const auto due = speed_ <= 0 || delay <= 0
                             ? anchorReal_
                             : anchorReal_ + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double, std::micro>(
                                                     static_cast<double>(delay) / speed_));
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        stage_.play(next_++);
    }
}

std::string Replayer::divergence() const {
    std::lock_guard lock(mutex_);
    return diverged_;
}

void Replayer::noteImage(const std::string& sha256, std::uint64_t size) {
    std::lock_guard lock(mutex_);
    imageSha_ = sha256;
    imageSize_ = size;
}

bool Replayer::waitStopped(Clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    return wake_.wait_until(lock, deadline,
                            [&] { return !diverged_.empty() || next_ == rec_.events.size(); });
}

bool Replayer::finished() const {
    std::lock_guard lock(mutex_);
    return diverged_.empty() && next_ == rec_.events.size();
}

std::string Replayer::conclude() {
    std::lock_guard lock(mutex_);
    if (!diverged_.empty()) return diverged_;
    for (std::size_t k = next_; k < rec_.events.size(); ++k) {
        if (!IsWrite(k)) continue;
        const Event& w = rec_.events[k];
        Diverge(std::string(words_.early) + " before " + where(k) + ": the recording has the " +
                std::string(words_.writer) + " write\n  expected: " + w.path + ": " +
                SpacedBytes(w.data));
        return diverged_;
    }
    return {};
}

std::size_t Replayer::recordedWrites() const {
    return static_cast<std::size_t>(
        std::count_if(rec_.events.begin(), rec_.events.end(),
                      [](const Event& e) { return e.kind == EventKind::write; }));
}

std::optional<int> Replayer::recordedExit() const {
    for (const auto& e : rec_.events)
        if (e.kind == EventKind::end) return e.exitCode;
    return std::nullopt;
}

std::uint64_t Replayer::lookupSteps() const {
    std::lock_guard lock(mutex_);
    return lookup_.steps();
}

}  // namespace vumo::recording
