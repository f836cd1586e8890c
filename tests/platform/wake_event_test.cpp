// The one wake-up of the program, on whichever system it was built for.
#include "base/wake_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vumo::base {
namespace {

using namespace std::chrono_literals;

TEST(WakeEvent, StaysSetUntilClearedAndWaitsSeeWhichOne) {
    WakeEvent a, b;
    ASSERT_TRUE(a.valid() && b.valid());
    const Waitable both[3] = {a.waitable(), Waitable(), b.waitable()};
    EXPECT_EQ(WaitAny(both, 0ms), kWaitTimedOut);
    b.signal();
    b.signal();  // twice is once
    EXPECT_EQ(WaitAny(both, 0ms), 2) << "the empty entry is skipped, the index kept";
    EXPECT_EQ(WaitAny(both, 0ms), 2) << "a wait does not clear it";
    a.signal();
    EXPECT_EQ(WaitAny(both), 0) << "the lowest of those set";
    a.clear();
    b.clear();
    EXPECT_FALSE(a.isSet() || b.isSet());
    EXPECT_EQ(WaitAny(both, 0ms), kWaitTimedOut);
}

TEST(WakeEvent, ASignalFromAnotherThreadEndsAWaitWithoutLimit) {
    WakeEvent stop;
    std::thread signaller([&stop] { stop.signal(); });
    const Waitable one[1] = {stop.waitable()};
    EXPECT_EQ(WaitAny(one), 0);
    signaller.join();
}

TEST(WakeEvent, NothingToWaitForWithoutLimitFailsRatherThanHang) {
    const Waitable none[2] = {};
    EXPECT_EQ(WaitAny(none), kWaitFailed);
    EXPECT_EQ(WaitAny(none, 1ms), kWaitTimedOut);
    WakeEvent closed;
    EXPECT_TRUE(closed.close());
    EXPECT_FALSE(closed.valid());
    closed.signal();  // ignored
    EXPECT_FALSE(closed.isSet());
}

}  // namespace
}  // namespace vumo::base
