#include "sim/replay_bus.h"

#include "platform/in_process_bus.h"
#include "recording/replayer.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <unordered_set>

namespace vumo::sim {

using namespace platform;
using namespace recording;
namespace {

using platform::OpenStatus;
using platform::ReadStatus;

}  // namespace

struct ReplayHidBus::State final : ReplayStage {
    State(Recording r, double speed, std::string file)
        : replay(std::move(r), speed, std::move(file), {"program", "the run ended"}, *this) {
        // Until the program first asks, the bus looks as the first enumeration saw it.
        for (const auto& e : replay.recording().events) {
            if (e.kind == EventKind::enumerate) {
                SetPresent(e.devices);
                break;
            }
        }
    }

    // --- everything below is guarded by replay.lock() ---

    bool HeldByRecordedWriter(const std::string& path) const {
        return std::any_of(recordedWriters.begin(), recordedWriters.end(),
                           [&](const auto& w) { return w.second == path; });
    }

    void pass(std::size_t i) override { Apply(i); }
    void play(std::size_t i) override { Apply(i); }

    void Apply(std::size_t i) {
        const Event& e = replay.recording().events[i];
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
                else if (e.readStatus == ReadStatus::gone) ReadersGone(e.path);
                break;
            case EventKind::arrival:
                if (!Present(e.path)) {
                    const std::string& instance = NewAppearance(e.path);
                    if (const auto* d = replay.index().ArrivedDevice(i)) {
                        present.push_back(*d);
                        present.back().instance = instance;
                        presentPaths.insert(e.path);
                    }
                }
                ToMonitor(e.monitor,
                          {platform::HotplugMonitor::Action::arrival, e.path, instances[e.path]});
                break;
            case EventKind::removal: {
                if (presentPaths.erase(e.path) != 0)
                    std::erase_if(present, [&](const auto& d) { return d.path == e.path; });
                ReadersGone(e.path);
                const auto it = instances.find(e.path);
                std::string instance = it == instances.end() ? std::string() : it->second;
                if (it != instances.end()) instances.erase(it);
                ToMonitor(e.monitor,
                          {platform::HotplugMonitor::Action::removal, e.path, std::move(instance)});
                break;
            }
            case EventKind::write:
            case EventKind::monitor:
            case EventKind::image:
            case EventKind::end: break;
        }
    }

    bool Present(const std::string& path) const { return presentPaths.count(path) != 0; }

    // A listing shows the devices there now; one at a path without an appearance is a new one
    // (the recording has no arrival for it, or not yet).
    void SetPresent(const std::vector<platform::HidInterfaceInfo>& devices) {
        present = devices;
        presentPaths.clear();
        for (auto& d : present) {
            presentPaths.insert(d.path);
            const auto it = instances.find(d.path);
            d.instance = it != instances.end() ? it->second : NewAppearance(d.path);
        }
    }

    // Each device that appears at a path is named as the simulated bus names its attachments;
    // the name stays until its removal is played.
    const std::string& NewAppearance(const std::string& path) {
        return instances[path] = platform::AppearanceOf("replay", ++appearances);
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
        if (const auto k = replay.index().FirstOn(kind, path, replay.frontier()))
            return from(replay.recording().events[*k]);
        return std::nullopt;
    }

    platform::WriteResult Write(const std::string& path, std::span<const std::uint8_t> report) {
        const auto lock = replay.lock();
        const Event* w = replay.matchWrite(path, report);
        if (w == nullptr) return {};
        return {w->ok, w->written};
    }

    std::vector<platform::HidInterfaceInfo> present;
    std::unordered_set<std::string> presentPaths;  // of `present`
    std::map<std::string, platform::ProbeResult> probes;
    std::map<std::string, OpenStatus> writerOpens;
    std::map<std::string, OpenStatus> readerOpens;
    std::map<int, std::string> recordedWriters;    // recorded handle -> path
    std::multiset<std::string> ownWriters;         // paths this run holds a writer on
    std::map<std::string, std::string> instances;  // by path: its appearance, until removed
    std::uint64_t appearances = 0;
    std::map<std::string, platform::InProcessReaders> readers;  // by path
    platform::InProcessMonitors monitors;  // told apart by the order they were made in
    // Last, so that it goes first: its thread calls the members above.
    Replayer replay;
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
        const auto lock = state_->replay.lock();
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
    const auto lock = state_->replay.lock();
    state_->replay.startLocked();
}

ReplayHidBus::~ReplayHidBus() { state_->replay.stop(); }

std::vector<platform::HidInterfaceInfo> ReplayHidBus::enumerate() {
    const auto lock = state_->replay.lock();
    state_->replay.passHostEvents();
    return state_->present;
}

platform::ProbeResult ReplayHidBus::probe(const std::string& path) {
    const auto lock = state_->replay.lock();
    State& s = *state_;
    s.replay.passHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, {}};
    if (s.ownWriters.count(path) != 0) return {OpenStatus::busy, {}};
    const auto known =
        s.Known<platform::ProbeResult>(s.probes, EventKind::probe, path, [](const Event& e) {
            return platform::ProbeResult{e.status, e.lengths};
        });
    return known.value_or(platform::ProbeResult{OpenStatus::gone, {}});
}

platform::Opened<platform::HidWriter> ReplayHidBus::openWriter(const std::string& path) {
    const auto lock = state_->replay.lock();
    State& s = *state_;
    s.replay.passHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, nullptr};
    if (s.ownWriters.count(path) != 0) return {OpenStatus::busy, nullptr};
    const auto status =
        s.Known<OpenStatus>(s.writerOpens, EventKind::openWriter, path, [](const Event& e) {
             return e.status;
         }).value_or(OpenStatus::failed);
    if (status != OpenStatus::ok) return {status, nullptr};
    s.ownWriters.insert(path);
    return {OpenStatus::ok, std::make_unique<ReplayWriter>(state_, path)};
}

platform::Opened<platform::HidReader> ReplayHidBus::openReader(const std::string& path) {
    const auto lock = state_->replay.lock();
    State& s = *state_;
    s.replay.passHostEvents();
    if (!s.Present(path)) return {OpenStatus::gone, nullptr};
    const auto status =
        s.Known<OpenStatus>(s.readerOpens, EventKind::openReader, path, [](const Event& e) {
             return e.status;
         }).value_or(OpenStatus::failed);
    if (status != OpenStatus::ok) return {status, nullptr};
    return {OpenStatus::ok, s.readers[path].open()};
}

std::unique_ptr<platform::HotplugMonitor> ReplayHidBus::monitor() {
    return state_->monitors.open();
}

std::string ReplayHidBus::divergence() const { return state_->replay.divergence(); }

base::Waitable ReplayHidBus::divergenceEvent() const { return state_->replay.divergenceEvent(); }

void ReplayHidBus::noteImage(const std::string& sha256, std::uint64_t size) {
    state_->replay.noteImage(sha256, size);
}

std::string ReplayHidBus::conclude() { return state_->replay.conclude(); }

std::optional<int> ReplayHidBus::recordedExit() const { return state_->replay.recordedExit(); }

std::uint64_t ReplayHidBus::lookupSteps() const { return state_->replay.lookupSteps(); }

}  // namespace vumo::sim
