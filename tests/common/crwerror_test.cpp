#include <gtest/gtest.h>

#include <string>

#include "common/CRwError.h"
#include "host/FXErrorUtil.h"

namespace {

TEST(CRwErrorTest, FailureExactlyWhenBit31IsSet) {
    struct Case {
        uint32_t code;
        bool isError;
    };
    constexpr Case kCases[] = {
        {0u, false},         {1u, false},         {1627u, false},      {2147483647u, false},
        {2147483648u, true}, {0x80070663u, true}, {0xFFFFFFFFu, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.code);
        CRwError error;
        error.code = c.code;
        EXPECT_EQ(error.IsError(), c.isError);
    }
    EXPECT_FALSE(CRwError::Success().IsError());
    EXPECT_EQ(CRwError::Success().code, 0u);
    EXPECT_EQ(CRwError::Success().Detail(), nullptr);
}

TEST(CRwErrorTest, CopiesShareOneDetail) {
    CRwError original = FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000093);
    CRwError copy(original);
    CRwError assigned;
    assigned = original;
    EXPECT_EQ(copy.Detail(), original.Detail());
    EXPECT_EQ(assigned.Detail(), original.Detail());
    copy << "share";
    ASSERT_EQ(original.Detail()->arguments.size(), 1u);
    EXPECT_EQ(boost::any_cast<std::string>(assigned.Detail()->arguments[0]), "share");
    EXPECT_EQ(assigned.code, original.code);
}

TEST(CRwErrorTest, NullTextStreamsAnEmptyString) {
    CRwError error = FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000086);
    const char* nothing = nullptr;
    error << nothing << "after";
    ASSERT_EQ(error.Detail()->arguments.size(), 2u);
    EXPECT_EQ(boost::any_cast<std::string>(error.Detail()->arguments[0]), "");
    EXPECT_EQ(boost::any_cast<std::string>(error.Detail()->arguments[1]), "after");
}

TEST(CRwErrorTest, SelfAssignmentKeepsCodeAndDetail) {
    CRwError error = FXErrorUtil::ErrorWin32(FX_HERE, 1627, "kept");
    const FXErrorPrivate* detail = error.Detail();
    const uint32_t code = error.code;
    CRwError& alias = error;
    error = alias;
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.Detail(), detail);
    EXPECT_EQ(FXErrorUtil::MessageOf(error), "kept");
}

TEST(CRwErrorTest, AssignmentReleasesTheOldDetail) {
    CRwError error = FXErrorUtil::ErrorWin32(FX_HERE, 160);
    boost::shared_ptr<FXErrorPrivate> watch = error.detail;
    EXPECT_EQ(watch.use_count(), 2);
    error = CRwError::Success();
    EXPECT_EQ(watch.use_count(), 1);
    EXPECT_FALSE(error.IsError());
}

}  // namespace
