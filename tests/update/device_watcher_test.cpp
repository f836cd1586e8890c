// The device watcher when its monitor fails, as the udev socket does when the kernel drops
// events (POLLERR): it says so, watches a new monitor and has the bus looked at again; or, when
// no new monitor can be had, says that arrivals and removals are no longer seen.

#include "update/device_watcher.h"

#include "base/wake_event.h"
#include "base/unique_fd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vumo::update {
namespace {

using platform::HotplugMonitor;

// A monitor whose descriptor reports an error: a datagram socket sent to a closed port, which
// the kernel answers with "connection refused" as a pending socket error.
class FailingMonitor : public HotplugMonitor {
public:
    FailingMonitor() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in closed{};
        closed.sin_family = AF_INET;
        closed.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        {
            // A port that was free a moment ago and has no one listening.
            base::UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            socklen_t length = sizeof closed;
            ::bind(probe.get(), reinterpret_cast<sockaddr*>(&closed), length);
            ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&closed), &length);
        }
        EXPECT_EQ(::connect(socket_.get(), reinterpret_cast<sockaddr*>(&closed), sizeof closed), 0);
        EXPECT_EQ(::send(socket_.get(), "x", 1, 0), 1);
    }
    base::Waitable ready() const override { return base::Waitable::FromNative(socket_.get()); }
    std::vector<Event> takeEvents() override { return {}; }

private:
    base::UniqueFd socket_;
};

// A monitor the test feeds.
class FedMonitor : public HotplugMonitor {
public:
    base::Waitable ready() const override { return ready_.waitable(); }
    std::vector<Event> takeEvents() override {
        ready_.clear();
        std::lock_guard lock(mutex_);
        std::vector<Event> out(events_.begin(), events_.end());
        events_.clear();
        return out;
    }
    void Push(Event event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        ready_.signal();
    }

private:
    base::WakeEvent ready_;
    std::mutex mutex_;
    std::deque<Event> events_;
};

// What the watcher told, waited for with a deadline.
struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<HotplugMonitor::Event> events;
    std::vector<std::string> notices;

    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return pred(); });
    }
    DeviceWatcher::Handler Handler() {
        return [this](const HotplugMonitor::Event& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            changed.notify_all();
        };
    }
    std::function<void(const std::string&)> Notice() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex);
            notices.push_back(text);
            changed.notify_all();
        };
    }
};

TEST(DeviceWatcherTest, AFailedMonitorIsMadeAgainSaidAndTheBusLookedAtAgain) {
    FailingMonitor failing;
    FedMonitor* fed = nullptr;
    Heard heard;
    DeviceWatcher watcher(failing, heard.Handler(),
                          {[&fed]() -> std::unique_ptr<HotplugMonitor> {
                               auto m = std::make_unique<FedMonitor>();
                               fed = m.get();
                               return m;
                           },
                           heard.Notice()});
    ASSERT_TRUE(watcher.running());
    // The notice, and an arrival with no path: look at the whole bus.
    ASSERT_TRUE(heard.WaitFor([&] { return !heard.events.empty(); }));
    {
        std::lock_guard lock(heard.mutex);
        ASSERT_EQ(heard.notices.size(), 1u);
        EXPECT_NE(heard.notices[0].find("restarted"), std::string::npos) << heard.notices[0];
        EXPECT_EQ(heard.events[0].action, HotplugMonitor::Action::arrival);
        EXPECT_EQ(heard.events[0].path, "");
        ASSERT_NE(fed, nullptr);
    }
    // Watching goes on with the new monitor.
    fed->Push({HotplugMonitor::Action::removal, "/dev/hidraw3"});
    ASSERT_TRUE(heard.WaitFor([&] { return heard.events.size() == 2; }));
    std::lock_guard lock(heard.mutex);
    EXPECT_EQ(heard.events[1].path, "/dev/hidraw3");
}

TEST(DeviceWatcherTest, AFailedMonitorThatCannotBeMadeAgainIsSaid) {
    FailingMonitor failing;
    Heard heard;
    DeviceWatcher watcher(failing, heard.Handler(),
                          {[] { return std::unique_ptr<HotplugMonitor>(); }, heard.Notice()});
    ASSERT_TRUE(heard.WaitFor([&] { return !heard.notices.empty(); }));
    std::lock_guard lock(heard.mutex);
    EXPECT_NE(heard.notices[0].find("no longer seen"), std::string::npos) << heard.notices[0];
    EXPECT_TRUE(heard.events.empty());
}

}  // namespace
}  // namespace vumo::update
