#include "record/replay_bus.h"

#include "record/device_player.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace vumo::record {
namespace {

using platform::OpenStatus;
using platform::ReadStatus;
using Clock = std::chrono::steady_clock;

// The kernel keeps up to 64 unread reports per open hidraw file and drops the oldest.
constexpr std::size_t kReaderQueueLimit = 64;

struct ReaderQueue {
    std::string path;
    std::mutex mutex;
    std::condition_variable changed;
    struct Item {
        ReadStatus status;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Item> items;
    bool cancelled = false;
    bool gone = false;
};

struct MonitorQueue {
    void push(platform::HotplugMonitor::Event event) {
        {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
        ready.signal();
    }
    base::WakeEvent ready;  // set while events wait
    std::mutex mutex;
    std::deque<platform::HotplugMonitor::Event> events;
};

}  // namespace

struct ReplayHidBus::State {
    State(Recording r, double s, std::string f)
        : rec(std::move(r)), speed(s), file(std::move(f)) {
        const std::size_t n = rec.events.size();
        arrivalInfo.resize(n);
        // Where an arriving device is first listed tells what it is.
        for (std::size_t i = 0; i < n; ++i) {
            if (rec.events[i].kind != EventKind::arrival) continue;
            for (std::size_t k = i + 1; k < n && !arrivalInfo[i]; ++k) {
                if (rec.events[k].kind != EventKind::enumerate) continue;
                for (const auto& d : rec.events[k].devices)
                    if (d.path == rec.events[i].path) arrivalInfo[i] = d;
            }
        }
        // Until the program first asks, the bus looks as the first enumeration saw it.
        for (const auto& e : rec.events) {
            if (e.kind == EventKind::enumerate) {
                present = e.devices;
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
            case EventKind::enumerate: present = e.devices; break;
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
                    ToReaders(e.path, {e.readStatus, e.data});
                else if (e.readStatus == ReadStatus::gone)
                    ReadersGone(e.path);
                break;
            case EventKind::arrival:
                if (arrivalInfo[i] && !Present(e.path)) present.push_back(*arrivalInfo[i]);
                ToMonitor(e.monitor, {platform::HotplugMonitor::Action::arrival, e.path});
                break;
            case EventKind::removal:
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

    bool Present(const std::string& path) const {
        return std::any_of(present.begin(), present.end(),
                           [&](const auto& d) { return d.path == path; });
    }

    std::vector<std::shared_ptr<ReaderQueue>> Readers(const std::string& path) {
        std::erase_if(readers, [](const auto& r) { return r.expired(); });
        std::vector<std::shared_ptr<ReaderQueue>> out;
        for (auto& r : readers)
            if (auto q = r.lock(); q && q->path == path) out.push_back(std::move(q));
        return out;
    }

    void ToReaders(const std::string& path, const ReaderQueue::Item& item) {
        for (auto& q : Readers(path)) {
            {
                std::lock_guard lock(q->mutex);
                if (q->items.size() == kReaderQueueLimit) q->items.pop_front();
                q->items.push_back(item);
            }
            q->changed.notify_all();
        }
    }

    void ReadersGone(const std::string& path) {
        for (auto& q : Readers(path)) {
            {
                std::lock_guard lock(q->mutex);
                q->gone = true;
            }
            q->changed.notify_all();
        }
    }

    void ToMonitor(int number, platform::HotplugMonitor::Event event) {
        if (number >= 1 && static_cast<std::size_t>(number) <= monitors.size())
            monitors[static_cast<std::size_t>(number) - 1]->push(std::move(event));
    }

    // The recorded answer for `path` at the frontier: the latest one passed, else the first one
    // still to come (the program asks earlier than the recorded one did).
    template <class T>
    std::optional<T> Known(const std::map<std::string, T>& passed, EventKind kind,
                           const std::string& path, T (*from)(const Event&)) const {
        if (const auto it = passed.find(path); it != passed.end()) return it->second;
        for (std::size_t k = next; k < rec.events.size(); ++k) {
            const Event& e = rec.events[k];
            if (e.kind == kind && e.path == path && e.status != OpenStatus::busy) return from(e);
        }
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
    std::vector<std::optional<platform::HidInterfaceInfo>> arrivalInfo;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::size_t next = 0;  // the frontier: the first event not yet passed
    Clock::time_point anchorReal;
    std::int64_t anchorMicros = 0;
    std::vector<platform::HidInterfaceInfo> present;
    std::map<std::string, platform::ProbeResult> probes;
    std::map<std::string, OpenStatus> writerOpens;
    std::map<std::string, OpenStatus> readerOpens;
    std::map<int, std::string> recordedWriters;  // recorded handle -> path
    std::multiset<std::string> ownWriters;       // paths this run holds a writer on
    std::vector<std::weak_ptr<ReaderQueue>> readers;
    std::vector<std::shared_ptr<MonitorQueue>> monitors;  // in the order they were made
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

class ReplayReader final : public platform::HidReader {
public:
    explicit ReplayReader(std::shared_ptr<ReaderQueue> queue) : queue_(std::move(queue)) {}
    ~ReplayReader() override { close(); }
    platform::ReadResult read(std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds timeout) override {
        std::unique_lock lock(queue_->mutex);
        queue_->changed.wait_for(lock, timeout, [&] {
            return queue_->cancelled || !queue_->items.empty() || queue_->gone;
        });
        if (queue_->cancelled) return {ReadStatus::cancelled, 0};
        if (!queue_->items.empty()) {
            const auto item = std::move(queue_->items.front());
            queue_->items.pop_front();
            if (item.status != ReadStatus::report) return {item.status, 0};
            const std::size_t n = std::min(buffer.size(), item.bytes.size());
            std::copy_n(item.bytes.begin(), n, buffer.begin());
            return {ReadStatus::report, n};
        }
        if (queue_->gone) return {ReadStatus::gone, 0};
        return {ReadStatus::timeout, 0};
    }
    void cancel() override {
        {
            std::lock_guard lock(queue_->mutex);
            queue_->cancelled = true;
        }
        queue_->changed.notify_all();
    }
    bool close() override {
        cancel();
        return true;
    }

private:
    std::shared_ptr<ReaderQueue> queue_;
};

class ReplayMonitor final : public platform::HotplugMonitor {
public:
    explicit ReplayMonitor(std::shared_ptr<MonitorQueue> queue) : queue_(std::move(queue)) {}
    base::Waitable ready() const override { return queue_->ready.waitable(); }
    std::vector<Event> takeEvents() override {
        // Cleared before the queue is emptied: an event pushed in between sets it again.
        queue_->ready.clear();
        std::lock_guard lock(queue_->mutex);
        std::vector<Event> out(std::make_move_iterator(queue_->events.begin()),
                               std::make_move_iterator(queue_->events.end()));
        queue_->events.clear();
        return out;
    }

private:
    std::shared_ptr<MonitorQueue> queue_;
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
    auto queue = std::make_shared<ReaderQueue>();
    queue->path = path;
    s.readers.push_back(queue);
    return {OpenStatus::ok, std::make_unique<ReplayReader>(std::move(queue))};
}

std::unique_ptr<platform::HotplugMonitor> ReplayHidBus::monitor() {
    auto queue = std::make_shared<MonitorQueue>();
    if (!queue->ready) return nullptr;
    std::lock_guard lock(state_->mutex);
    state_->monitors.push_back(queue);
    return std::make_unique<ReplayMonitor>(std::move(queue));
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

}  // namespace vumo::record
