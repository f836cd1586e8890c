#include "sim/sim_hid_bus.h"

#include "platform/in_process_bus.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vumo::sim {

using namespace platform;
namespace {

std::string InstanceOf(std::uint64_t attachment) { return AppearanceOf("sim", attachment); }

struct Node {
    std::uint64_t id = 0;  // this attachment; a node number may name several in turn
    unsigned number = 0;
    std::string path;
    DeviceDescription description;
    std::shared_ptr<OutputSink> device;
    bool writerHeld = false;
    bool permissionDenied = false;
    std::size_t writes = 0;
    InProcessReaders readers;  // of this attachment
};

}  // namespace

struct SimHidBus::State {
    mutable std::mutex mutex;
    std::vector<Node> nodes;  // attach order is the walk order
    InProcessMonitors monitors;
    std::uint64_t nextId = 1;

    Node* find(const std::string& path) {
        auto it =
            std::find_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.path == path; });
        return it == nodes.end() ? nullptr : &*it;
    }
    Node* find(std::uint64_t id) {
        auto it =
            std::find_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.id == id; });
        return it == nodes.end() ? nullptr : &*it;
    }
    unsigned lowestFreeNumber() const {
        for (unsigned number = 0;; ++number) {
            if (std::none_of(nodes.begin(), nodes.end(),
                             [&](const Node& n) { return n.number == number; }))
                return number;
        }
    }
};

namespace {

class SimWriter final : public HidWriter {
public:
    SimWriter(std::shared_ptr<SimHidBus::State> state, std::uint64_t node)
        : state_(std::move(state)), node_(node) {}
    ~SimWriter() override { close(); }

    WriteResult write(std::span<const std::uint8_t> report) override {
        std::shared_ptr<OutputSink> device;
        {
            std::lock_guard lock(state_->mutex);
            if (closed_) return {};
            Node* node = state_->find(node_);
            if (node == nullptr) return {};
            ++node->writes;
            device = node->device;
        }
        if (device) device->onOutputReport(report);
        return {true, report.size()};
    }

    bool close() override {
        std::lock_guard lock(state_->mutex);
        if (closed_) return true;
        closed_ = true;
        if (Node* node = state_->find(node_)) node->writerHeld = false;
        return true;
    }

private:
    std::shared_ptr<SimHidBus::State> state_;
    std::uint64_t node_;   // the attachment it was opened on, never a later one on its node
    bool closed_ = false;  // guarded by state_->mutex
};

}  // namespace

SimHidBus::SimHidBus() : state_(std::make_shared<State>()) {}

SimHidBus::~SimHidBus() = default;

std::string SimHidBus::attach(const DeviceDescription& description,
                              std::shared_ptr<OutputSink> device) {
    std::string path;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        Node node;
        node.id = id = state_->nextId++;
        node.number = state_->lowestFreeNumber();
        path = "sim:hidraw" + std::to_string(node.number);
        node.path = path;
        node.description = description;
        node.device = std::move(device);
        state_->nodes.push_back(std::move(node));
    }
    state_->monitors.announce({HotplugMonitor::Action::arrival, path, InstanceOf(id)});
    return path;
}

void SimHidBus::detach(const std::string& path) {
    InProcessReaders readers;
    std::shared_ptr<OutputSink> device;  // released outside the lock
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        auto it = std::find_if(state_->nodes.begin(), state_->nodes.end(),
                               [&](const Node& n) { return n.path == path; });
        if (it == state_->nodes.end()) return;
        id = it->id;
        readers = it->readers;
        device = std::move(it->device);
        state_->nodes.erase(it);
    }
    readers.end();
    state_->monitors.announce({HotplugMonitor::Action::removal, path, InstanceOf(id)});
}

bool SimHidBus::sendInputReport(const std::string& path, std::span<const std::uint8_t> report) {
    InProcessReaders readers;
    {
        std::lock_guard lock(state_->mutex);
        Node* node = state_->find(path);
        if (node == nullptr) return false;
        readers = node->readers;
    }
    readers.deliver(ReadStatus::report, report);
    return true;
}

void SimHidBus::setPermissionDenied(const std::string& path, bool denied) {
    std::lock_guard lock(state_->mutex);
    if (Node* node = state_->find(path)) node->permissionDenied = denied;
}

std::size_t SimHidBus::writeCount(const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    Node* node = state_->find(path);
    return node == nullptr ? 0 : node->writes;
}

std::vector<HidInterfaceInfo> SimHidBus::enumerate() {
    std::lock_guard lock(state_->mutex);
    std::vector<HidInterfaceInfo> out;
    out.reserve(state_->nodes.size());
    for (const Node& n : state_->nodes) {
        out.push_back({n.path, n.description.vendorId, n.description.productId,
                       n.description.product, n.description.serial, n.description.manufacturer,
                       n.description.port, InstanceOf(n.id)});
    }
    return out;
}

ProbeResult SimHidBus::probe(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    Node* node = state_->find(path);
    if (node == nullptr) return {OpenStatus::gone, {}};
    if (node->permissionDenied) return {OpenStatus::permissionDenied, {}};
    if (node->writerHeld) return {OpenStatus::busy, {}};
    return {OpenStatus::ok, node->description.lengths};
}

Opened<HidWriter> SimHidBus::openWriter(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    Node* node = state_->find(path);
    if (node == nullptr) return {OpenStatus::gone, nullptr};
    if (node->permissionDenied) return {OpenStatus::permissionDenied, nullptr};
    if (node->writerHeld) return {OpenStatus::busy, nullptr};
    node->writerHeld = true;
    return {OpenStatus::ok, std::make_unique<SimWriter>(state_, node->id)};
}

Opened<HidReader> SimHidBus::openReader(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    Node* node = state_->find(path);
    if (node == nullptr) return {OpenStatus::gone, nullptr};
    if (node->permissionDenied) return {OpenStatus::permissionDenied, nullptr};
    return {OpenStatus::ok, node->readers.open()};
}

std::unique_ptr<HotplugMonitor> SimHidBus::monitor() { return state_->monitors.open(); }

}  // namespace vumo::sim
