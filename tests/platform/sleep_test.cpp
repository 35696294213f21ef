#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/HostSleep.h"

namespace {

struct Call {
    unsigned int milliseconds;
    std::string file;
    int line;
};

TEST(SleepTest, HookReplacesTheSleepUntilRemoved) {
    std::vector<Call> calls;
    const TZSleepHook previous =
        SetTZSleepHook([&calls](unsigned int ms, const char* file, int line) {
            calls.push_back({ms, file, line});
        });
    EXPECT_FALSE(previous);

    const auto start = std::chrono::steady_clock::now();
    TZSleep(5000, "compare.cpp", 77);
    TZSleep(1, "compare.cpp", 78);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].milliseconds, 5000u);
    EXPECT_EQ(calls[0].file, "compare.cpp");
    EXPECT_EQ(calls[0].line, 77);

    const TZSleepHook removed = SetTZSleepHook(TZSleepHook());
    ASSERT_TRUE(removed);
    removed(3, "x", 1);  // the hook handed back is the one installed
    EXPECT_EQ(calls.size(), 3u);

    const auto realStart = std::chrono::steady_clock::now();
    TZSleep(20, __FILE__, __LINE__);
    EXPECT_GE(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(20));
    EXPECT_EQ(calls.size(), 3u);
}

}  // namespace
