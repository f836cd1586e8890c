#include "sim/uhid/replay_devices.h"

namespace vumo::sim {

// Shared with the sinks, which the port may still call after this object has gone.
// Lock order: playerMutex, then the player's own lock, then mapMutex; the player calls in here
// holding its lock, so mapMutex is never held while calling the player.
struct ReplayDevices::Link {
    std::mutex playerMutex;
    record::DevicePlayer* player = nullptr;

    std::mutex mapMutex;
    struct Attachment {
        std::string node;  // the port's name; empty until attach() has returned
        std::uint64_t generation = 0;
    };
    std::map<std::string, Attachment> attached;  // by recorded path
    std::uint64_t nextGeneration = 0;

    bool Current(const std::string& recordedPath, std::uint64_t generation) {
        std::lock_guard lock(mapMutex);
        const auto it = attached.find(recordedPath);
        return it != attached.end() && it->second.generation == generation;
    }
};

namespace {

class Sink final : public platform::OutputSink {
public:
    Sink(std::shared_ptr<ReplayDevices::Link> link, std::string recordedPath,
         std::uint64_t generation)
        : link_(std::move(link)), recordedPath_(std::move(recordedPath)),
          generation_(generation) {}
    void onOutputReport(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(link_->playerMutex);
        if (link_->player && link_->Current(recordedPath_, generation_))
            link_->player->written(recordedPath_, report);
    }

private:
    std::shared_ptr<ReplayDevices::Link> link_;
    std::string recordedPath_;
    std::uint64_t generation_;
};

}  // namespace

ReplayDevices::ReplayDevices(platform::DevicePort& port, std::function<void(const std::string&)> note)
    : port_(port), note_(std::move(note)), link_(std::make_shared<Link>()) {}

ReplayDevices::~ReplayDevices() { setPlayer(nullptr); }

void ReplayDevices::setPlayer(record::DevicePlayer* player) {
    std::lock_guard lock(link_->playerMutex);
    link_->player = player;
}

bool ReplayDevices::plug(const record::RecordedDevice& device) {
    const std::string& recorded = device.info.path;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(link_->mapMutex);
        generation = ++link_->nextGeneration;
        link_->attached[recorded] = {{}, generation};
    }
    platform::DeviceDescription d;
    d.vendorId = device.info.vendorId;
    d.productId = device.info.productId;
    d.product = device.info.product;
    d.serial = device.info.serial;
    d.manufacturer = device.info.manufacturer;
    d.port = device.info.port;
    d.lengths = device.lengths;
    const std::string node =
        port_.attach(d, std::make_shared<Sink>(link_, recorded, generation));
    {
        std::lock_guard lock(link_->mapMutex);
        if (node.empty()) link_->attached.erase(recorded);
        else link_->attached[recorded].node = node;
    }
    if (node.empty()) return false;
    if (note_) note_(recorded + " is " + node + " here");
    return true;
}

void ReplayDevices::unplug(const std::string& recordedPath) {
    std::string node;
    {
        std::lock_guard lock(link_->mapMutex);
        const auto it = link_->attached.find(recordedPath);
        if (it == link_->attached.end()) return;
        node = it->second.node;
        link_->attached.erase(it);
    }
    port_.detach(node);
}

void ReplayDevices::send(const std::string& recordedPath, std::span<const std::uint8_t> report) {
    const std::string node = nodeOf(recordedPath);
    if (!node.empty()) port_.sendInputReport(node, report);
}

std::string ReplayDevices::nodeOf(const std::string& recordedPath) const {
    std::lock_guard lock(link_->mapMutex);
    const auto it = link_->attached.find(recordedPath);
    return it == link_->attached.end() ? std::string() : it->second.node;
}

void ReplayDevices::unplugAll() {
    std::map<std::string, Link::Attachment> left;
    {
        std::lock_guard lock(link_->mapMutex);
        left.swap(link_->attached);
    }
    for (const auto& [recorded, attachment] : left) port_.detach(attachment.node);
}

}  // namespace vumo::sim
