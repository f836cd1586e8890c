#include "platform/sim_hid_bus.h"

#include "base/wake_event.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace vumo::platform {
namespace {

// The kernel keeps up to 64 unread reports per open hidraw file and drops the oldest.
constexpr std::size_t kReaderQueueLimit = 64;

std::string InstanceOf(std::uint64_t attachment) { return "sim#" + std::to_string(attachment); }

struct ReaderQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> reports;
    bool cancelled = false;
    bool gone = false;
};

struct MonitorQueue {
    void push(HotplugMonitor::Event event) {
        {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
        ready.signal();
    }

    base::WakeEvent ready;  // set while events wait
    std::mutex mutex;
    std::deque<HotplugMonitor::Event> events;
};

struct Node {
    std::uint64_t id = 0;  // this attachment; a node number may name several in turn
    unsigned number = 0;
    std::string path;
    DeviceDescription description;
    std::shared_ptr<OutputSink> device;
    bool writerHeld = false;
    bool permissionDenied = false;
    std::size_t writes = 0;
    std::vector<std::weak_ptr<ReaderQueue>> readers;
};

}  // namespace

struct SimHidBus::State {
    mutable std::mutex mutex;
    std::vector<Node> nodes;  // attach order is the walk order
    std::vector<std::weak_ptr<MonitorQueue>> monitors;
    std::uint64_t nextId = 1;

    Node* find(const std::string& path) {
        auto it = std::find_if(nodes.begin(), nodes.end(),
                               [&](const Node& n) { return n.path == path; });
        return it == nodes.end() ? nullptr : &*it;
    }
    Node* find(std::uint64_t id) {
        auto it = std::find_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.id == id; });
        return it == nodes.end() ? nullptr : &*it;
    }
    unsigned lowestFreeNumber() const {
        for (unsigned number = 0;; ++number) {
            if (std::none_of(nodes.begin(), nodes.end(),
                             [&](const Node& n) { return n.number == number; }))
                return number;
        }
    }

    void announce(HotplugMonitor::Action action, const std::string& path, std::uint64_t id) {
        std::vector<std::shared_ptr<MonitorQueue>> live;
        {
            std::lock_guard lock(mutex);
            std::erase_if(monitors, [](const auto& m) { return m.expired(); });
            for (auto& m : monitors)
                if (auto q = m.lock()) live.push_back(std::move(q));
        }
        for (auto& q : live) q->push({action, path, InstanceOf(id)});
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

class SimReader final : public HidReader {
public:
    explicit SimReader(std::shared_ptr<ReaderQueue> queue) : queue_(std::move(queue)) {}
    ~SimReader() override { close(); }

    ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(queue_->mutex);
        const bool ready = queue_->changed.wait_for(lock, timeout, [&] {
            return queue_->cancelled || !queue_->reports.empty() || queue_->gone;
        });
        if (queue_->cancelled) return {ReadStatus::cancelled, 0};
        if (!queue_->reports.empty()) {
            const auto report = std::move(queue_->reports.front());
            queue_->reports.pop_front();
            const std::size_t n = std::min(buffer.size(), report.size());
            std::copy_n(report.begin(), n, buffer.begin());
            return {ReadStatus::report, n};
        }
        if (queue_->gone) return {ReadStatus::gone, 0};
        (void)ready;
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

class SimMonitor final : public HotplugMonitor {
public:
    explicit SimMonitor(std::shared_ptr<MonitorQueue> queue) : queue_(std::move(queue)) {}
    base::Waitable ready() const override { return queue_->ready.waitable(); }
    std::vector<Event> takeEvents() override {
        // Cleared before the queue is emptied: an event pushed in between signals again.
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
    state_->announce(HotplugMonitor::Action::arrival, path, id);
    return path;
}

void SimHidBus::detach(const std::string& path) {
    std::vector<std::shared_ptr<ReaderQueue>> readers;
    std::shared_ptr<OutputSink> device;  // released outside the lock
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        auto it = std::find_if(state_->nodes.begin(), state_->nodes.end(),
                               [&](const Node& n) { return n.path == path; });
        if (it == state_->nodes.end()) return;
        id = it->id;
        for (auto& r : it->readers)
            if (auto q = r.lock()) readers.push_back(std::move(q));
        device = std::move(it->device);
        state_->nodes.erase(it);
    }
    for (auto& q : readers) {
        {
            std::lock_guard lock(q->mutex);
            q->gone = true;
        }
        q->changed.notify_all();
    }
    state_->announce(HotplugMonitor::Action::removal, path, id);
}

bool SimHidBus::sendInputReport(const std::string& path, std::span<const std::uint8_t> report) {
    std::vector<std::shared_ptr<ReaderQueue>> readers;
    {
        std::lock_guard lock(state_->mutex);
        Node* node = state_->find(path);
        if (node == nullptr) return false;
        std::erase_if(node->readers, [](const auto& r) { return r.expired(); });
        for (auto& r : node->readers)
            if (auto q = r.lock()) readers.push_back(std::move(q));
    }
    for (auto& q : readers) {
        {
            std::lock_guard lock(q->mutex);
            if (q->reports.size() == kReaderQueueLimit) q->reports.pop_front();
            q->reports.emplace_back(report.begin(), report.end());
        }
        q->changed.notify_all();
    }
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
                       n.description.product, n.description.serial,
                       n.description.manufacturer, n.description.port, InstanceOf(n.id)});
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
    auto queue = std::make_shared<ReaderQueue>();
    node->readers.push_back(queue);
    return {OpenStatus::ok, std::make_unique<SimReader>(std::move(queue))};
}

std::unique_ptr<HotplugMonitor> SimHidBus::monitor() {
    auto queue = std::make_shared<MonitorQueue>();
    if (!queue->ready) return nullptr;
    std::lock_guard lock(state_->mutex);
    state_->monitors.push_back(queue);
    return std::make_unique<SimMonitor>(std::move(queue));
}

}  // namespace vumo::platform
