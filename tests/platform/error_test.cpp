#include <gtest/gtest.h>

#include <string>

#include "host/FXErrorUtil.h"

namespace {

TEST(ErrorTest, Win32CodesAreEncodedWithBit31AndKeptAsGiven) {
    struct Case {
        uint32_t given;
        uint32_t code;
    };
    constexpr Case kCases[] = {
        {14, 0x8007000Eu},      {160, 0x800700A0u},         {1359, 0x8007054Fu},
        {1627, 0x8007065Bu},    {0, 0x80070000u},           {0xFFFF, 0x8007FFFFu},
        {0x10000, 0x80010000u}, {0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.given);
        const CRwError error = FXErrorUtil::ErrorWin32(FX_HERE, c.given);
        EXPECT_TRUE(error.IsError());
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(error), c.given);
        EXPECT_EQ(FXErrorUtil::EventIdOf(error), 0);
        EXPECT_EQ(FXErrorUtil::MessageOf(error), "");
    }
}

TEST(ErrorTest, EventIdsAreEncodedWithBit31) {
    for (int32_t id : {0x11000086, 0x11000093, 0x11000094, 0x110000A5}) {
        SCOPED_TRACE(id);
        const CRwError event = FXErrorUtil::ErrorEventMessage(FX_HERE, id);
        EXPECT_TRUE(event.IsError());
        EXPECT_EQ(event.code, 0x80000000u | static_cast<uint32_t>(id));
        EXPECT_EQ(FXErrorUtil::EventIdOf(event), id);
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(event), 0u);
    }
}

TEST(ErrorTest, AsStringShowsCodeMessageAndTrailInOrder) {
    CRwError error = FXErrorUtil::ErrorWin32(FXCodeLocation("inner.cpp", "void Inner()", 10), 1627,
                                             "Unable to get %s.", "array credentials");
    CRwError copy = error;
    copy.Push(FXCodeLocation("middle.cpp", "void Middle()", 20));
    EXPECT_EQ(&error.Push(FXCodeLocation("outer.cpp", "void Outer()", 30), "share %d", 3), &error);

    EXPECT_EQ(error.AsString(),
              "error 1627 (0x8007065B): Unable to get array credentials. | at void Inner() "
              "(inner.cpp:10): Unable to get array credentials. <- void Middle() (middle.cpp:20)"
              " <- void Outer() (outer.cpp:30): share 3");
    ASSERT_EQ(error.Detail()->trail.size(), 3u);
    EXPECT_EQ(error.Detail()->trail[0].line, 10);
    EXPECT_EQ(error.Detail()->trail[2].message, "share 3");
}

TEST(ErrorTest, EventArgumentsRenderInOrder) {
    CRwError event =
        FXErrorUtil::ErrorEventMessage(FXCodeLocation("f.cpp", "void F()", 1), 0x11000093);
    event << "/ifs/data" << boost::any(uint64_t{42}) << boost::any(3.5) << "";
    ASSERT_EQ(event.Detail()->arguments.size(), 4u);
    // Anything but a string or an unsigned 64-bit number is kept, shown as "?".
    EXPECT_EQ(boost::any_cast<double>(event.Detail()->arguments[2]), 3.5);
    EXPECT_EQ(event.AsString(),
              "event 0x11000093 (0x91000093) | args [/ifs/data, 42, ?, ] | at void F() (f.cpp:1)");
}

TEST(ErrorTest, SuccessIgnoresPushAndArguments) {
    CRwError success;
    EXPECT_EQ(&success.Push(FX_HERE), &success);
    success.Push(FX_HERE, "ignored %d", 1);
    success << "ignored";
    EXPECT_FALSE(success.IsError());
    EXPECT_EQ(success.Detail(), nullptr);
    EXPECT_EQ(success.AsString(), "Success");
    EXPECT_EQ(FXErrorUtil::MessageOf(success), "");
}

TEST(ErrorTest, PushOntoAHandMadeFailureKeepsTheLocation) {
    CRwError error;
    error.code = 0x8007065Bu;
    error.Push(FXCodeLocation("x.cpp", "void X()", 5), "passed on");
    ASSERT_NE(error.Detail(), nullptr);
    EXPECT_EQ(error.code, 0x8007065Bu);
    EXPECT_EQ(error.AsString(), "error 1627 (0x8007065B) | at void X() (x.cpp:5): passed on");
}

TEST(ErrorTest, LongMessagesAreKeptWhole) {
    const std::string path(5000, 'p');
    const CRwError error =
        FXErrorUtil::ErrorWin32(FX_HERE, 1627, "Path [%s] missing", path.c_str());
    EXPECT_EQ(FXErrorUtil::MessageOf(error), "Path [" + path + "] missing");
}

}  // namespace
