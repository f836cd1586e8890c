#pragma once
// The host's side of a bus that lives in this process (the simulated bus, the replay of a
// recording): readers that wait for what is delivered to them, and hot-plug monitors that
// events are pushed to. Each bus keeps its own devices; this is how the handles it gives out
// behave, written once.

#include "platform/hid_bus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vumo::platform {

// How a bus in this process names one appearance of a node (HidInterfaceInfo::instance): the
// bus and the count of appearances it has made ("sim#3"), so that two devices given the same
// path in turn are told apart as the kernel's are.
std::string AppearanceOf(std::string_view bus, std::uint64_t count);

// The readers open on one device. Each has a queue of its own, as each open hidraw file has: a
// report goes to every reader open when it is delivered, and waits there for the next read.
// Copies share the same readers.
class InProcessReaders {
public:
    InProcessReaders();

    // A reader that gets what is delivered from now on; cancel and close end its read at once.
    std::unique_ptr<HidReader> open();
    // A report (byte 0 = report ID) or a failed read (`failed`, no bytes) for every open reader.
    // A reader keeps what the kernel keeps, 64 unread reports, and drops the oldest.
    void deliver(ReadStatus status, std::span<const std::uint8_t> bytes = {});
    // The device left: the readers open now read `gone` once their queue is empty. A reader
    // opened afterwards is not affected.
    void end();

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

// The monitors made on one bus, in the order they were made.
class InProcessMonitors {
public:
    // Null when its wake-up could not be made.
    std::unique_ptr<HotplugMonitor> open();
    // To every monitor still there.
    void announce(const HotplugMonitor::Event& event);
    // To the `number`-th monitor made (1 is the first), if it is still there.
    void announceTo(std::size_t number, const HotplugMonitor::Event& event);

    struct Queue;

private:
    std::vector<std::shared_ptr<Queue>> Live(std::size_t number);

    std::mutex mutex_;
    std::size_t made_ = 0;
    std::vector<std::pair<std::size_t, std::weak_ptr<Queue>>> queues_;  // by number
};

}  // namespace vumo::platform
