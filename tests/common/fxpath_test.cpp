#include <gtest/gtest.h>

#include <string>

#include "common/FXPath.h"
#include "host/FXErrorUtil.h"

namespace {

TEST(FXPathTest, Append) {
    struct Case {
        const char* path;
        const char* part;
        const char* after;
    };
    constexpr Case kCases[] = {
        {"/ifs/data", "/", "/ifs/data/"},
        {"/ifs/data/", "/", "/ifs/data/"},
        {"/ifs/data//", "/", "/ifs/data/"},
        {"/ifs/data", "x", "/ifs/data/x"},
        {"/ifs/data/", "/x", "/ifs/data/x"},
        {"/ifs/data//", "//x/y", "/ifs/data/x/y"},
        {"/mnt/share1", ".snapshot", "/mnt/share1/.snapshot"},
        {"/", "a", "/a"},
        {"/", "/", "/"},
        {"", "a/b", "a/b"},
        {"", "/", "/"},
        {"/ifs", "", "/ifs"},
        {"rel", "a", "rel/a"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.path) + " + " + c.part);
        std::string path = c.path;
        EXPECT_FALSE(FXPath::Append(path, c.part, 0).IsError());
        EXPECT_EQ(path, c.after);
    }
}

TEST(FXPathTest, TrailingDelimiterHelpers) {
    struct Case {
        const char* path;
        const char* added;
        const char* removed;
    };
    constexpr Case kCases[] = {
        {"/ifs/data", "/ifs/data/", "/ifs/data"},
        {"/ifs/data/", "/ifs/data/", "/ifs/data"},
        {"/", "/", ""},
        {"", "/", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        std::string added = c.path;
        EXPECT_FALSE(FXPath::AppendTrailingDelimiter(added).IsError());
        EXPECT_EQ(added, c.added);
        std::string removed = c.path;
        EXPECT_FALSE(FXPath::RemoveTrailingDelimiter(removed).IsError());
        EXPECT_EQ(removed, c.removed);
    }
}

TEST(FXPathTest, IsAncestorOf) {
    struct Case {
        const char* ancestor;
        const char* path;
        bool strict;  // orSelf false
        bool orSelf;  // orSelf true
    };
    constexpr Case kCases[] = {
        {"/mnt/share", "/mnt/share/a", true, true},
        {"/mnt/share", "/mnt/share", false, true},
        {"/mnt/share/", "/mnt/share", false, true},
        {"/mnt//share", "/mnt/share/", false, true},
        {"/mnt/share", "/mnt/share//a/b/", true, true},
        {"/a/b", "/a/bc", false, false},
        {"/a/bc", "/a/b", false, false},
        {"/a/b/c", "/a/b", false, false},
        {"/", "/anything", true, true},
        {"/", "/", false, true},
        {"//", "/", false, true},
        {"/a", "a/b", false, false},
        {"a", "a/b", true, true},
        {"", "/a", false, false},
        {"/a", "", false, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.ancestor) + " above " + c.path);
        EXPECT_EQ(FXPath::IsAncestorOf(c.ancestor, c.path, false), c.strict);
        EXPECT_EQ(FXPath::IsAncestorOf(c.ancestor, c.path, true), c.orSelf);
        EXPECT_EQ(FXPath::IsDescendantOf(c.path, c.ancestor, true), c.orSelf);
    }
}

TEST(FXPathTest, RemovePathFromFileName) {
    struct Case {
        const char* path;
        const char* leading;
        bool ok;
        const char* after;
    };
    constexpr Case kCases[] = {
        {"/mnt/share/a/b", "/mnt/share", true, "a/b"},
        {"/mnt/share/a/b", "/mnt/share/", true, "a/b"},
        {"/mnt//share//a/b/", "/mnt/share", true, "a/b/"},
        {"/mnt/share", "/mnt/share", true, ""},
        {"/a/b", "/", true, "a/b"},
        {"/mnt/shared/a", "/mnt/share", false, "/mnt/shared/a"},
        {"/other/a", "/mnt", false, "/other/a"},
        {"/a", "", false, "/a"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.path) + " less " + c.leading);
        std::string path = c.path;
        const CRwError result = FXPath::RemovePathFromFileName(path, c.leading);
        EXPECT_EQ(!result.IsError(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 160u);
        }
        EXPECT_EQ(path, c.after);
    }
}

TEST(FXPathTest, DoesPathExist) {
    bool exists = false;
    EXPECT_FALSE(FXPath::DoesPathExist("/", exists).IsError());
    EXPECT_TRUE(exists);

    const std::string missing = "/nonexistent-snapscan-dir/.snapshot/x";
    const CRwError error = FXPath::DoesPathExist(missing, exists);
    ASSERT_TRUE(error.IsError());
    EXPECT_FALSE(exists);
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(error), 1627u);
    const std::string message = FXErrorUtil::MessageOf(error);
    EXPECT_NE(message.find(missing), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
}

}  // namespace
