#include "platform/linux/linux_hid_bus.h"
#include "platform/linux/node_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace vumo::platform {
namespace {

// Build machines usually have no HID devices; these hold with none and with many.
TEST(LinuxHidBus, EnumerationListsHidrawNodesInNumberOrder) {
    const auto bus = makeLinuxHidBus();
    ASSERT_TRUE(bus);
    const auto first = bus->enumerate();
    std::optional<unsigned> previous;
    for (const auto& info : first) {
        const auto number = hidraw::hidrawNumber(info.path);
        ASSERT_TRUE(number) << info.path;
        if (previous) {
            EXPECT_LT(*previous, *number);
        }
        previous = number;
    }
    const auto second = bus->enumerate();
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].path, second[i].path);
}

TEST(LinuxHidBus, MissingNodeIsGone) {
    const auto bus = makeLinuxHidBus();
    ASSERT_TRUE(bus);
    const std::string path = "/dev/hidraw-does-not-exist";
    EXPECT_EQ(bus->probe(path).status, OpenStatus::gone);
    EXPECT_EQ(bus->openWriter(path).status, OpenStatus::gone);
    EXPECT_EQ(bus->openReader(path).status, OpenStatus::gone);
}

TEST(LinuxHidBus, MonitorFdNeverBlocks) {
    const auto bus = makeLinuxHidBus();
    ASSERT_TRUE(bus);
    const auto monitor = bus->monitor();
    if (!monitor) GTEST_SKIP() << "no uevent socket in this environment";
    ASSERT_GE(monitor->fd(), 0);
    const int flags = ::fcntl(monitor->fd(), F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    // Nothing is plugged in during the test, so there is nothing to take, and taking returns.
    for (const auto& event : monitor->takeEvents()) EXPECT_FALSE(event.path.empty());
}

}  // namespace
}  // namespace vumo::platform
