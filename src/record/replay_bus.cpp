#include "record/replay_bus.h"

#include "platform/in_process_bus.h"
#include "record/device_player.h"
#include "record/recording_index.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>

namespace vumo::record {
namespace {

using platform::OpenStatus;
using platform::ReadStatus;
using Clock = std::chrono::steady_clock;

}  // namespace

struct ReplayHidBus::State {
    State(Recording r, double s, std::string f)
        : rec(std::move(r)), speed(s), file(std::move(f)), lookup(rec) {
        // Until the program first asks, the bus looks as the first enumeration saw it.
        for (const auto& e : rec.events) {
            if (e.kind == EventKind::enumerate) {
                SetPresent(e.devices);
                break;
            }
        }
        anchorReal = Clock::now();
    }

    // --- everything below is guarded by mutex ---

    bool IsWrite(std::size_t i) const { return rec.events[i].kind == EventKind::write; }
    bool IsDevice(std::size_t i) const { return IsDeviceEvent(rec.events[i]); }

    // Passes the host's own events at the frontier; they change the served state only.
    void SkipHostEvents() {
        while (next < rec.events.size() && !IsWrite(next) && !IsDevice(next)) Apply(next++);
    }

    bool HeldByRecordedWriter(const std::string& path) const {
        return std::any_of(recordedWriters.begin(), recordedWriters.end(),
                           [&](const auto& w) { return w.second == path; });
    }

    void Apply(std::size_t i) {
        const Event& e = rec.events[i];
        switch (e.kind) {
            case EventKind::enumerate: SetPresent(e.devices); break;
            case EventKind::probe:
                if (e.status != OpenStatus::busy || !HeldByRecordedWriter(e.path))
                    probes[e.path] = {e.status, e.lengths};
                break;
            case EventKind::openWriter:
                if (e.status != OpenStatus::busy || !HeldByRecordedWriter(e.path))
                    writerOpens[e.path] = e.status;
                if (e.status == OpenStatus::ok) recordedWriters[e.handle] = e.path;
                break;
            case EventKind::openReader: readerOpens[e.path] = e.status; break;
            case EventKind::close:
                if (e.writerHandle) recordedWriters.erase(e.handle);
                break;
            case EventKind::read:
                if (e.readStatus == ReadStatus::report || e.readStatus == ReadStatus::failed)
                    ToReaders(e.path, e.readStatus, e.data);
                else if (e.readStatus == ReadStatus::gone)
                    ReadersGone(e.path);
                break;
            case EventKind::arrival:
                if (const auto* d = lookup.ArrivedDevice(i); d != nullptr && !Present(e.path)) {
                    present.push_back(*d);
                    presentPaths.insert(e.path);
                }
                ToMonitor(e.monitor, {platform::HotplugMonitor::Action::arrival, e.path});
                break;
            case EventKind::removal:
                if (presentPaths.erase(e.path) != 0)
                    std::erase_if(present, [&](const auto& d) { return d.path == e.path; });
                ReadersGone(e.path);
                ToMonitor(e.monitor, {platform::HotplugMonitor::Action::removal, e.path});
                break;
            case EventKind::write:
            case EventKind::monitor:
            case EventKind::image:
            case EventKind::end: break;
        }
    }

    bool Present(const std::string& path) const { return presentPaths.count(path) != 0; }

    void SetPresent(const std::vector<platform::HidInterfaceInfo>& devices) {
        present = devices;
        presentPaths.clear();
        for (const auto& d : devices) presentPaths.insert(d.path);
    }

    void ToReaders(const std::string& path, ReadStatus status,
                   std::span<const std::uint8_t> bytes) {
        if (const auto it = readers.find(path); it != readers.end())
            it->second.deliver(status, bytes);
    }

    void ReadersGone(const std::string& path) {
        if (const auto it = readers.find(path); it != readers.end()) it->second.end();
    }

    void ToMonitor(int number, const platform::HotplugMonitor::Event& event) {
        if (number >= 1) monitors.announceTo(static_cast<std::size_t>(number), event);
    }

    // The recorded answer for `path` at the frontier: the latest one passed, else the first one
    // still to come (the program asks earlier than the recorded one did).
    template <class T>
    std::optional<T> Known(const std::map<std::string, T>& passed, EventKind kind,
                           const std::string& path, T (*from)(const Event&)) const {
        if (const auto it = passed.find(path); it != passed.end()) return it->second;
        if (const auto k = lookup.FirstOn(kind, path, next)) return from(rec.events[*k]);
        return std::nullopt;
    }

    std::string Where(std::size_t index) const {
        return "event " + std::to_string(index + 1) + " (line " + std::to_string(index + 2) +
               " of " + file + ")";
    }

    void Diverge(std::string what) {
        if (!diverged.empty()) return;
        diverged = "replay stopped: " + std::move(what);
        std::string recordedImage;
        std::uint64_t recordedSize = 0;
        for (const auto& e : rec.events) {
            if (e.kind == EventKind::image) {
                recordedImage = e.sha256;
                recordedSize = e.size;
            }
        }
        if (!imageSha.empty() && !recordedImage.empty() &&
            (imageSha != recordedImage || imageSize != recordedSize)) {
            diverged += "\n  the firmware file is not the recorded one: sha256 " + imageSha +
                        ", " + std::to_string(imageSize) + " bytes; recorded: " + recordedImage +
                        ", " + std::to_string(recordedSize) + " bytes";
        }
        divergedEvent.signal();
        wake.notify_all();
    }

    platform::WriteResult Write(const std::string& path, std::span<const std::uint8_t> report) {
        std::lock_guard lock(mutex);
        if (!diverged.empty()) return {};
        // What the device did before the next recorded write comes now, in order, even if its
        // time has not come: the program did not wait for it this time.
        while (next < rec.events.size() && !IsWrite(next)) Apply(next++);
        if (next == rec.events.size()) {
            Diverge("the program wrote a report after the end of the recording (" +
                    std::to_string(rec.events.size()) + " events in " + file + ")\n  to " + path +
                    ": " + SpacedBytes(report));
            return {};
        }
        const Event& w = rec.events[next];
        const bool same = w.path == path && std::equal(report.begin(), report.end(),
                                                       w.data.begin(), w.data.end());
        if (!same) {
            std::string what = Where(next) + " differs: the recording has the program write";
            what += "\n  expected: " + w.path + ": " + SpacedBytes(w.data);
            what += "\n  actual:   " + path + ": " + SpacedBytes(report);
            if (w.path == path) {
                std::size_t at = 0;
                while (at < report.size() && at < w.data.size() && report[at] == w.data[at]) ++at;
                what += "\n  first difference at byte " + std::to_string(at) + " of the report";
            }
            Diverge(std::move(what));
            return {};
        }
        anchorReal = Clock::now();
        anchorMicros = w.micros;
        const platform::WriteResult result{w.ok, w.written};
        ++next;
        SkipHostEvents();
        wake.notify_all();
        return result;
    }

    // The thread that plays the device's events at their time.
    void Play() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            SkipHostEvents();
            if (!diverged.empty() || next == rec.events.size() || IsWrite(next)) {
                wake.wait(lock);
                continue;
            }
            const auto delay = rec.events[next].micros - anchorMicros;
            const auto due =
                speed <= 0 || delay <= 0
                    ? anchorReal
                    : anchorReal + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double, std::micro>(
                                           static_cast<double>(delay) / speed));
            if (Clock::now() < due) {
                wake.wait_until(lock, due);
                continue;
            }
            Apply(next++);
        }
    }

    const Recording rec;
    const double speed;
    const std::string file;
    const base::WakeEvent divergedEvent;
    const RecordingIndex lookup;  // what arrived, and the recorded answers ahead, by path

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::size_t next = 0;  // the frontier: the first event not yet passed
    Clock::time_point anchorReal;
    std::int64_t anchorMicros = 0;
    std::vector<platform::HidInterfaceInfo> present;
    std::unordered_set<std::string> presentPaths;  // of `present`
    std::map<std::string, platform::ProbeResult> probes;
    std::map<std::string, OpenStatus> writerOpens;
    std::map<std::string, OpenStatus> readerOpens;
    std::map<int, std::string> recordedWriters;  // recorded handle -> path
    std::multiset<std::string> ownWriters;       // paths this run holds a writer on
    std::map<std::string, platform::InProcessReaders> readers;  // by path
    platform::InProcessMonitors monitors;  // told apart by the order they were made in
    std::string diverged;
    std::string imageSha;
    std::uint64_t imageSize = 0;
    std::thread player;
};

namespace {

using State = ReplayHidBus::State;

class ReplayWriter final : public platform::HidWriter {
public:
    ReplayWriter(std::shared_ptr<State> state, std::string path)
        : state_(std::move(state)), path_(std::move(path)) {}
    ~ReplayWriter() override { close(); }
    platform::WriteResult write(std::span<const std::uint8_t> report) override {
        if (closed_) return {};
        return state_->Write(path_, report);
    }
    bool close() override {
        if (closed_) return true;
        closed_ = true;
        std::lock_guard lock(state_->mutex);
        state_->ownWriters.erase(state_->ownWriters.find(path_));
        return true;
    }

private:
    std::shared_ptr<State> state_;
    std::string path_;
    bool closed_ = false;  // the owner calls write and close from one thread at a time
};

}  // namespace

ReplayHidBus::ReplayHidBus(Recording recording, double speed, std::string file)
    : state_(std::make_shared<State>(std::move(recording), speed, std::move(file))) {
    state_->player = std::thread([s = state_.get()] { s->Play(); });
}

ReplayHidBus::~ReplayHidBus() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    state_->player.join();
}

std::vector<platform::HidInterfaceInfo> ReplayHidBus::enumerate() {
    std::lock_guard lock(state_->mutex);
    state_->SkipHostEvents();
    return state_->present;
}

platform::ProbeResult ReplayHidBus::probe(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.SkipHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, {}};
    if (s.ownWriters.count(path) != 0) return {OpenStatus::busy, {}};
    const auto known = s.Known<platform::ProbeResult>(
        s.probes, EventKind::probe, path,
        [](const Event& e) { return platform::ProbeResult{e.status, e.lengths}; });
    return known.value_or(platform::ProbeResult{OpenStatus::gone, {}});
}

platform::Opened<platform::HidWriter> ReplayHidBus::openWriter(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.SkipHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, nullptr};
    if (s.ownWriters.count(path) != 0) return {OpenStatus::busy, nullptr};
    const auto status = s.Known<OpenStatus>(s.writerOpens, EventKind::openWriter, path,
                                            [](const Event& e) { return e.status; })
                            .value_or(OpenStatus::failed);
    if (status != OpenStatus::ok) return {status, nullptr};
    s.ownWriters.insert(path);
    return {OpenStatus::ok, std::make_unique<ReplayWriter>(state_, path)};
}

platform::Opened<platform::HidReader> ReplayHidBus::openReader(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.SkipHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, nullptr};
    const auto status = s.Known<OpenStatus>(s.readerOpens, EventKind::openReader, path,
                                            [](const Event& e) { return e.status; })
                            .value_or(OpenStatus::failed);
    if (status != OpenStatus::ok) return {status, nullptr};
    return {OpenStatus::ok, s.readers[path].open()};
}

std::unique_ptr<platform::HotplugMonitor> ReplayHidBus::monitor() {
    return state_->monitors.open();
}

std::string ReplayHidBus::divergence() const {
    std::lock_guard lock(state_->mutex);
    return state_->diverged;
}

base::Waitable ReplayHidBus::divergenceEvent() const { return state_->divergedEvent.waitable(); }

void ReplayHidBus::noteImage(const std::string& sha256, std::uint64_t size) {
    std::lock_guard lock(state_->mutex);
    state_->imageSha = sha256;
    state_->imageSize = size;
}

std::string ReplayHidBus::conclude() {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (!s.diverged.empty()) return s.diverged;
    for (std::size_t k = s.next; k < s.rec.events.size(); ++k) {
        if (!s.IsWrite(k)) continue;
        const Event& w = s.rec.events[k];
        s.Diverge("the run ended before " + s.Where(k) +
                  ": the recording has the program write\n  expected: " + w.path + ": " +
                  SpacedBytes(w.data));
        return s.diverged;
    }
    return {};
}

std::optional<int> ReplayHidBus::recordedExit() const {
    for (const auto& e : state_->rec.events)
        if (e.kind == EventKind::end) return e.exitCode;
    return std::nullopt;
}

std::uint64_t ReplayHidBus::lookupSteps() const {
    std::lock_guard lock(state_->mutex);
    return state_->lookup.steps();
}

}  // namespace vumo::record
