#include "platform/linux/linux_hid_bus.h"
#include "platform/linux/node_info.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace vumo::platform {
namespace {

// The order itself is tested on made-up nodes (sortByNodeNumber); this checks the walk of the
// machine's own nodes, which build machines usually lack: then it says so instead of passing.
TEST(LinuxHidBus, EnumerationListsHidrawNodesInNumberOrder) {
    const auto bus = makeLinuxHidBus();
    ASSERT_TRUE(bus);
    const auto first = bus->enumerate();
    if (first.empty()) GTEST_SKIP() << "no hidraw nodes here; the VM tests walk real ones";
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
    ASSERT_GE(monitor->ready().native(), 0);
    const int flags = ::fcntl(monitor->ready().native(), F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    // Taking with nothing waiting returns at once (a blocking take would hang the test until
    // ctest's limit); whatever another program plugged in meanwhile carries a path.
    for (const auto& event : monitor->takeEvents()) EXPECT_FALSE(event.path.empty());
}

}  // namespace
}  // namespace vumo::platform
