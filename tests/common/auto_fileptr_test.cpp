#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>

#include "common/auto_fileptr.h"

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(AutoFilePtrTest, NullHandleClosesNothing) {
    auto_fileptr file;
    EXPECT_FALSE(file.is_valid());
    EXPECT_EQ(file.get(), nullptr);
    file.reset(nullptr);
    EXPECT_FALSE(file.is_valid());
}

TEST(AutoFilePtrTest, ClosesOnDestructionAndReset) {
    FILE* first = tmpfile();
    ASSERT_NE(first, nullptr);
    const int firstFd = fileno(first);
    {
        auto_fileptr owner(first);
        EXPECT_TRUE(owner.is_valid());
        EXPECT_EQ(owner.get(), first);
        EXPECT_TRUE(IsOpen(firstFd));
    }
    EXPECT_FALSE(IsOpen(firstFd));

    auto_fileptr owner(tmpfile());
    ASSERT_TRUE(owner.is_valid());
    const int secondFd = fileno(owner.get());
    FILE* third = tmpfile();
    ASSERT_NE(third, nullptr);
    const int thirdFd = fileno(third);
    owner.reset(third);  // closes the second, holds the third
    EXPECT_FALSE(IsOpen(secondFd));
    EXPECT_TRUE(IsOpen(thirdFd));
    EXPECT_EQ(owner.get(), third);
}

TEST(AutoFilePtrTest, ReleaseGivesUpOwnership) {
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = fileno(file);
    {
        auto_fileptr owner(file);
        EXPECT_EQ(owner.release(), file);
        EXPECT_FALSE(owner.is_valid());
    }
    EXPECT_TRUE(IsOpen(fd));
    fclose(file);
}

}  // namespace
