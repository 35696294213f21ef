#include <gtest/gtest.h>

#include <ctime>

#include "host/HostClock.h"

namespace {

TEST(ClockTest, HookReplacesTheClockUntilRemoved) {
    time_t now = 1000;
    const TZTimeHook previous = SetTZTimeHook([&now] { return now; });
    EXPECT_FALSE(previous);

    EXPECT_EQ(TZTime(), 1000);
    now = 1005;
    EXPECT_EQ(TZTime(), 1005);

    const TZTimeHook removed = SetTZTimeHook(TZTimeHook());
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed(), 1005);  // the hook handed back is the one installed

    // The real clock again: between two readings of time() around it.
    const time_t before = time(nullptr);
    const time_t read = TZTime();
    const time_t after = time(nullptr);
    EXPECT_LE(before, read);
    EXPECT_LE(read, after);
}

}  // namespace
