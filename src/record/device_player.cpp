#include "record/device_player.h"

#include "record/json.h"
#include "text/hex.h"
#include "text/json.h"
#include "text/utf8.h"

#include <algorithm>

namespace vumo::record {
namespace {

using Clock = std::chrono::steady_clock;
using platform::HidInterfaceInfo;
using platform::OpenStatus;
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

DevicePlayer::DevicePlayer(Recording recording, double speed, std::string file, DeviceSide& side,
                           std::function<void(const std::string&)> note)
    : rec_(std::move(recording)), lookup_(rec_), speed_(speed), file_(std::move(file)), side_(side),
      note_(std::move(note)) {}

DevicePlayer::~DevicePlayer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (player_.joinable()) player_.join();
}

bool DevicePlayer::IsWrite(std::size_t i) const { return rec_.events[i].kind == EventKind::write; }
bool DevicePlayer::IsDevice(std::size_t i) const { return IsDeviceEvent(rec_.events[i]); }

bool DevicePlayer::Present(const std::string& path) const { return present_.count(path) != 0; }

std::uint64_t DevicePlayer::lookupSteps() const {
    std::lock_guard lock(mutex_);
    return lookup_.steps();
}

std::string DevicePlayer::Where(std::size_t i) const {
    return "event " + std::to_string(i + 1) + " (line " + std::to_string(i + 2) + " of " + file_ +
           ")";
}

void DevicePlayer::Note(const std::string& line) {
    if (note_) note_(line);
}

bool DevicePlayer::start() {
    std::lock_guard lock(mutex_);
    if (started_) return true;
    started_ = true;
    // The devices of the first enumeration, less those whose arrival was recorded before it:
    // they come when their arrival is played.
    const auto first = std::find_if(rec_.events.begin(), rec_.events.end(),
                                    [](const Event& e) { return e.kind == EventKind::enumerate; });
    if (first != rec_.events.end()) {
        std::unordered_set<std::string> arrivesLater;
        for (auto e = rec_.events.begin(); e != first; ++e)
            if (e->kind == EventKind::arrival) arrivesLater.insert(e->path);
        for (const auto& d : first->devices)
            if (arrivesLater.count(d.path) == 0 && !Plug(d)) return false;
    }
    anchorReal_ = Clock::now();
    anchorMicros_ = 0;
    player_ = std::thread([this] { Loop(); });
    return true;
}

bool DevicePlayer::Plug(const HidInterfaceInfo& info) {
    RecordedDevice device{info, {}};
    // Its lengths: the first successful probe of this appearance; else one of a device with the
    // same IDs (a program that only lists does not probe everything).
    bool found = false;
    if (const auto at = lookup_.FirstListing(info.path)) {
        if (const auto probe = lookup_.FirstOn(EventKind::probe, info.path,
                                               std::max(*at, next_), true)) {
            device.lengths = rec_.events[*probe].lengths;
            found = true;
        }
    }
    if (!found) {
        if (const auto* lengths = lookup_.LengthsOfIds(info.vendorId, info.productId)) {
            device.lengths = *lengths;
            found = true;
        }
    }
    if (!found)
        Note("the recording has no report lengths for " + info.path +
             "; it is made without reports");
    seen_.insert(info.path);
    if (!side_.plug(device)) return false;
    present_.insert(info.path);
    return true;
}

void DevicePlayer::Unplug(const std::string& path) {
    if (!Present(path)) return;
    present_.erase(path);
    side_.unplug(path);
}

void DevicePlayer::PassHostEvents() {
    while (next_ < rec_.events.size() && !IsWrite(next_) && !IsDevice(next_)) {
        const Event& e = rec_.events[next_++];
        // A device listed without its arrival recorded (the host had no monitor, or it came
        // before the monitor did) appears when the host first saw it.
        if (e.kind != EventKind::enumerate) continue;
        for (const auto& d : e.devices)
            if (seen_.count(d.path) == 0) Plug(d);
    }
    if (next_ == rec_.events.size() && !endNoted_ && diverged_.empty()) {
        endNoted_ = true;
        Note("the recording has been played to its end");
        wake_.notify_all();
    }
}

void DevicePlayer::Play(std::size_t i) {
    const Event& e = rec_.events[i];
    switch (e.kind) {
        case EventKind::read:
            if (e.readStatus == ReadStatus::report) {
                if (Present(e.path)) side_.send(e.path, e.data);
            } else if (e.readStatus == ReadStatus::gone) {
                // The kernel ends the host's reads itself when the device goes.
                Unplug(e.path);
            } else if (e.readStatus == ReadStatus::failed) {
                Note(Where(i) + ": a failed read on " + e.path +
                     " can't be made on a real kernel; skipped");
            }
            break;
        case EventKind::removal: Unplug(e.path); break;
        case EventKind::arrival: {
            if (Present(e.path)) break;
            // What arrived is what the host listed under that path next.
            if (const auto* d = lookup_.ArrivedDevice(i)) {
                Plug(*d);
                return;
            }
            Note(Where(i) + ": the host never listed what arrived at " + e.path +
                 ", so it can't be made; skipped");
            break;
        }
        default: break;
    }
}

void DevicePlayer::written(const std::string& recordedPath, std::span<const std::uint8_t> report) {
    std::lock_guard lock(mutex_);
    if (!started_ || !diverged_.empty() || !Present(recordedPath)) return;
    // What the device did before the next recorded write comes now, in order, even if its time
    // has not come: the host did not wait for it this time.
    while (next_ < rec_.events.size() && !IsWrite(next_)) {
        if (IsDevice(next_)) Play(next_++);
        else PassHostEvents();
    }
    if (next_ == rec_.events.size()) {
        Diverge("the host wrote a report after the end of the recording (" +
                std::to_string(rec_.events.size()) + " events in " + file_ + ")\n  to " +
                recordedPath + ": " + SpacedBytes(report));
        return;
    }
    const Event& w = rec_.events[next_];
    const bool same = w.path == recordedPath &&
                      std::equal(report.begin(), report.end(), w.data.begin(), w.data.end());
    if (!same) {
        std::string what = Where(next_) + " differs: the recording has the host write";
        what += "\n  expected: " + w.path + ": " + SpacedBytes(w.data);
        what += "\n  actual:   " + recordedPath + ": " + SpacedBytes(report);
        if (w.path == recordedPath) {
            std::size_t at = 0;
            while (at < report.size() && at < w.data.size() && report[at] == w.data[at]) ++at;
            what += "\n  first difference at byte " + std::to_string(at) + " of the report";
        }
        Diverge(std::move(what));
        return;
    }
    anchorReal_ = Clock::now();
    anchorMicros_ = w.micros;
    ++next_;
    PassHostEvents();
    wake_.notify_all();
}

void DevicePlayer::Diverge(std::string what) {
    if (!diverged_.empty()) return;
    diverged_ = "replay stopped: " + std::move(what);
    Note(diverged_);
    wake_.notify_all();
}

void DevicePlayer::Loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        PassHostEvents();
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
        Play(next_++);
    }
}

std::string DevicePlayer::divergence() const {
    std::lock_guard lock(mutex_);
    return diverged_;
}

bool DevicePlayer::waitStopped(Clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    return wake_.wait_until(lock, deadline, [&] {
        return !diverged_.empty() || next_ == rec_.events.size();
    });
}

bool DevicePlayer::finished() const {
    std::lock_guard lock(mutex_);
    return diverged_.empty() && next_ == rec_.events.size();
}

std::string DevicePlayer::conclude() {
    std::lock_guard lock(mutex_);
    if (!diverged_.empty()) return diverged_;
    for (std::size_t k = next_; k < rec_.events.size(); ++k) {
        if (!IsWrite(k)) continue;
        const Event& w = rec_.events[k];
        Diverge("the host was done before " + Where(k) +
                ": the recording has the host write\n  expected: " + w.path + ": " +
                SpacedBytes(w.data));
        return diverged_;
    }
    return {};
}

std::size_t DevicePlayer::recordedWrites() const {
    return static_cast<std::size_t>(std::count_if(
        rec_.events.begin(), rec_.events.end(),
        [](const Event& e) { return e.kind == EventKind::write; }));
}

std::optional<int> DevicePlayer::recordedExit() const {
    for (const auto& e : rec_.events)
        if (e.kind == EventKind::end) return e.exitCode;
    return std::nullopt;
}

}  // namespace vumo::record
