#include "platform/in_process_bus.h"

#include "base/wake_event.h"

#include <algorithm>
#include <condition_variable>
#include <deque>

namespace vumo::platform {
namespace {

// The kernel keeps up to 64 unread reports per open hidraw file and drops the oldest.
constexpr std::size_t kReaderQueueLimit = 64;

struct ReaderQueue {
    struct Item {
        ReadStatus status;
        std::vector<std::uint8_t> bytes;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> items;
    bool cancelled = false;
    bool gone = false;
};

class QueueReader final : public HidReader {
public:
    explicit QueueReader(std::shared_ptr<ReaderQueue> queue) : queue_(std::move(queue)) {}
    ~QueueReader() override { close(); }

    ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
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

}  // namespace

std::string AppearanceOf(std::string_view bus, std::uint64_t count) {
    return std::string(bus) + "#" + std::to_string(count);
}

struct InProcessReaders::Shared {
    std::mutex mutex;
    std::vector<std::weak_ptr<ReaderQueue>> queues;

    // The queues of the readers still open; each is then filled under its own lock only.
    std::vector<std::shared_ptr<ReaderQueue>> Live() {
        std::lock_guard lock(mutex);
        std::erase_if(queues, [](const auto& q) { return q.expired(); });
        std::vector<std::shared_ptr<ReaderQueue>> out;
        for (auto& q : queues)
            if (auto live = q.lock()) out.push_back(std::move(live));
        return out;
    }
};

InProcessReaders::InProcessReaders() : shared_(std::make_shared<Shared>()) {}

std::unique_ptr<HidReader> InProcessReaders::open() {
    auto queue = std::make_shared<ReaderQueue>();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->queues.push_back(queue);
    }
    return std::make_unique<QueueReader>(std::move(queue));
}

void InProcessReaders::deliver(ReadStatus status, std::span<const std::uint8_t> bytes) {
    for (auto& q : shared_->Live()) {
        {
            std::lock_guard lock(q->mutex);
            if (q->items.size() == kReaderQueueLimit) q->items.pop_front();
            q->items.push_back({status, {bytes.begin(), bytes.end()}});
        }
        q->changed.notify_all();
    }
}

void InProcessReaders::end() {
    for (auto& q : shared_->Live()) {
        {
            std::lock_guard lock(q->mutex);
            q->gone = true;
        }
        q->changed.notify_all();
    }
}

struct InProcessMonitors::Queue {
    base::WakeEvent ready;  // set while events wait
    std::mutex mutex;
    std::deque<HotplugMonitor::Event> events;

    void Push(HotplugMonitor::Event event) {
        {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
        ready.signal();
    }
};

namespace {

class QueueMonitor final : public HotplugMonitor {
public:
    explicit QueueMonitor(std::shared_ptr<InProcessMonitors::Queue> queue)
        : queue_(std::move(queue)) {}
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
    std::shared_ptr<InProcessMonitors::Queue> queue_;
};

}  // namespace

std::unique_ptr<HotplugMonitor> InProcessMonitors::open() {
    auto queue = std::make_shared<Queue>();
    if (!queue->ready) return nullptr;
    {
        std::lock_guard lock(mutex_);
        queues_.emplace_back(++made_, queue);
    }
    return std::make_unique<QueueMonitor>(std::move(queue));
}

std::vector<std::shared_ptr<InProcessMonitors::Queue>> InProcessMonitors::Live(std::size_t number) {
    std::lock_guard lock(mutex_);
    std::erase_if(queues_, [](const auto& q) { return q.second.expired(); });
    std::vector<std::shared_ptr<Queue>> out;
    for (auto& [n, q] : queues_)
        if (number == 0 || n == number)
            if (auto live = q.lock()) out.push_back(std::move(live));
    return out;
}

void InProcessMonitors::announce(const HotplugMonitor::Event& event) {
    for (auto& q : Live(0)) q->Push(event);
}

void InProcessMonitors::announceTo(std::size_t number, const HotplugMonitor::Event& event) {
    if (number == 0) return;
    for (auto& q : Live(number)) q->Push(event);
}

}  // namespace vumo::platform
