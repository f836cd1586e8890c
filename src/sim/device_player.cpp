#include "sim/device_player.h"

#include <algorithm>
#include <mutex>

namespace vumo::sim {

using namespace platform;
using namespace recording;

using platform::HidInterfaceInfo;
using platform::ReadStatus;

// Lock order: the link's mutex, then the replayer's lock. The player calls the port holding
// the replayer's lock, so a sink that the port calls on another thread waits for it here.
struct DevicePlayer::Link {
    std::mutex mutex;
    DevicePlayer* player = nullptr;  // null once the player is going
};

namespace {

// What the host writes to one appearance of a recorded device.
class Sink final : public platform::OutputSink {
public:
    Sink(std::shared_ptr<DevicePlayer::Link> link, std::string recordedPath,
         std::uint64_t appearance)
        : link_(std::move(link)), recordedPath_(std::move(recordedPath)), appearance_(appearance) {}
    void onOutputReport(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(link_->mutex);
        if (link_->player) link_->player->written(recordedPath_, appearance_, report);
    }

private:
    std::shared_ptr<DevicePlayer::Link> link_;
    std::string recordedPath_;
    std::uint64_t appearance_;
};

}  // namespace

DevicePlayer::DevicePlayer(Recording recording, double speed, std::string file,
                           platform::DevicePort& port, std::function<void(const std::string&)> note)
    : port_(port),
      note_(std::move(note)),
      link_(std::make_shared<Link>()),
      replay_(std::move(recording), speed, std::move(file), {"host", "the host was done"}, *this,
              note_) {
    link_->player = this;
}

DevicePlayer::~DevicePlayer() {
    {
        std::lock_guard lock(link_->mutex);
        link_->player = nullptr;
    }
    replay_.stop();
    std::map<std::string, Device> left;
    {
        const auto lock = replay_.lock();
        left.swap(present_);
    }
    for (const auto& [recorded, device] : left) port_.detach(device.node);
}

bool DevicePlayer::Present(const std::string& path) const { return present_.count(path) != 0; }

void DevicePlayer::Note(const std::string& line) {
    if (note_) note_(line);
}

std::string DevicePlayer::nodeOf(const std::string& recordedPath) const {
    const auto lock = replay_.lock();
    const auto it = present_.find(recordedPath);
    return it == present_.end() ? std::string() : it->second.node;
}

bool DevicePlayer::start() {
    const auto lock = replay_.lock();
    if (started_) return true;
    started_ = true;
    // The devices of the first enumeration, less those whose arrival was recorded before it:
    // they come when their arrival is played.
    const auto& events = replay_.recording().events;
    const auto first = std::find_if(events.begin(), events.end(),
                                    [](const Event& e) { return e.kind == EventKind::enumerate; });
    if (first != events.end()) {
        std::unordered_set<std::string> arrivesLater;
        for (auto e = events.begin(); e != first; ++e)
            if (e->kind == EventKind::arrival) arrivesLater.insert(e->path);
        for (const auto& d : first->devices)
            if (arrivesLater.count(d.path) == 0 && !Plug(d)) return false;
    }
    replay_.startLocked();
    return true;
}

bool DevicePlayer::Plug(const HidInterfaceInfo& info) {
    const auto& lookup = replay_.index();
    platform::DeviceDescription d{
        info.vendorId, info.productId, info.product, info.serial, info.manufacturer, {}, info.port};
    // Its lengths: the first successful probe of this appearance; else one of a device with the
    // same IDs (a program that only lists does not probe everything).
    bool found = false;
    if (const auto at = lookup.FirstListing(info.path)) {
        if (const auto probe = lookup.FirstOn(EventKind::probe, info.path,
                                              std::max(*at, replay_.frontier()), true)) {
            d.lengths = replay_.recording().events[*probe].lengths;
            found = true;
        }
    }
    if (!found) {
        if (const auto* lengths = lookup.LengthsOfIds(info.vendorId, info.productId)) {
            d.lengths = *lengths;
            found = true;
        }
    }
    if (!found)
        Note("the recording has no report lengths for " + info.path +
             "; it is made without reports");
    seen_.insert(info.path);
    const std::uint64_t appearance = ++appearances_;
    present_[info.path] = {{}, appearance};
    const std::string node = port_.attach(d, std::make_shared<Sink>(link_, info.path, appearance));
    if (node.empty()) {
        present_.erase(info.path);
        return false;
    }
    present_[info.path].node = node;
    Note(info.path + " is " + node + " here");
    return true;
}

void DevicePlayer::Unplug(const std::string& path) {
    const auto it = present_.find(path);
    if (it == present_.end()) return;
    const std::string node = it->second.node;
    present_.erase(it);
    port_.detach(node);
}

void DevicePlayer::pass(std::size_t i) {
    const Event& e = replay_.recording().events[i];
    // A device listed without its arrival recorded (the host had no monitor, or it came
    // before the monitor did) appears when the host first saw it.
    if (e.kind != EventKind::enumerate) return;
    for (const auto& d : e.devices)
        if (seen_.count(d.path) == 0) Plug(d);
}

void DevicePlayer::play(std::size_t i) {
    const Event& e = replay_.recording().events[i];
    switch (e.kind) {
        case EventKind::read:
            if (e.readStatus == ReadStatus::report) {
                if (Present(e.path)) {
                    // The port sends it to the device made for this path.
                    port_.sendInputReport(present_[e.path].node, e.data);
                }
            } else if (e.readStatus == ReadStatus::gone) {
                // The kernel ends the host's reads itself when the device goes.
                Unplug(e.path);
            } else if (e.readStatus == ReadStatus::failed) {
                Note(replay_.where(i) + ": a failed read on " + e.path +
                     " can't be made on a real kernel; skipped");
            }
            break;
        case EventKind::removal: Unplug(e.path); break;
        case EventKind::arrival: {
            if (Present(e.path)) break;
            // What arrived is what the host listed under that path next.
            if (const auto* d = replay_.index().ArrivedDevice(i)) {
                Plug(*d);
                return;
            }
            Note(replay_.where(i) + ": the host never listed what arrived at " + e.path +
                 ", so it can't be made; skipped");
            break;
        }
        default: break;
    }
}

void DevicePlayer::written(const std::string& recordedPath, std::span<const std::uint8_t> report) {
    const auto lock = replay_.lock();
    if (!started_ || !Present(recordedPath)) return;
    replay_.matchWrite(recordedPath, report);
}

void DevicePlayer::written(const std::string& recordedPath, std::uint64_t appearance,
                           std::span<const std::uint8_t> report) {
    const auto lock = replay_.lock();
    const auto it = present_.find(recordedPath);
    if (!started_ || it == present_.end() || it->second.appearance != appearance) return;
    replay_.matchWrite(recordedPath, report);
}

}  // namespace vumo::sim
