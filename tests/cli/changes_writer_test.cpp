// The changes writer: what each item puts in which list, item paths that would
// reach outside the share, and that nothing is visible before Commit().

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_files.h"
#include "tools/snapscan/changes_writer.h"

namespace {

using snapscan::ChangesFormat;
using snapscan::ChangesWriter;
using snapscan_test::ReadFile;
using snapscan_test::TempDir;

FileServerSnapshotCompareItem Item(int32_t type, const std::string& path,
                                   const std::string& oldPath = "") {
    FileServerSnapshotCompareItem item;
    item.type = type;
    item.path = path;
    item.oldPath = oldPath;
    return item;
}

std::string Nul(std::initializer_list<const char*> paths) {
    std::string text;
    for (const char* path : paths) {
        text += path;
        text += '\0';
    }
    return text;
}

TEST(ChangesWriterTest, EachItemGoesToItsListAndRenamedDirectoriesComeWhole) {
    TempDir dir;
    // The snapshot holds the renamed directory with its entries.
    const std::string snapshot = dir.MakeDir("share/.snapshot/s1");
    dir.WriteFile("share/.snapshot/s1/new dir/a", "a");
    dir.WriteFile("share/.snapshot/s1/new dir/sub/b", "b");
    const std::string share = dir.Join("share");
    const std::string list = dir.Join("out/changes");
    dir.MakeDir("out");
    {
        ChangesWriter writer(list, ChangesFormat::kNul, 1);
        std::string error;
        ASSERT_TRUE(writer.BeginShare(0, share + "//", snapshot, error)) << error;
        for (const auto& item : {
                 Item(2, share + "/"),
                 Item(2, share + "/file\nwith newline"),
                 Item(3, share + "/moved", share + "/old name"),
                 Item(3, share + "/new dir/", share + "/old dir/"),
                 Item(2, share + "/new dir/a"),  // listed with its directory already
                 Item(4, share + "/gone/"),
             }) {
            ASSERT_TRUE(writer.Add(item, error)) << error;
        }
        // Nothing shows under the lists' names before the commit.
        const std::vector<std::string> pending = snapscan_test::DirectoryNames(dir.Join("out"));
        EXPECT_EQ(pending.size(), 2u);
        for (const std::string& name : pending) {
            EXPECT_NE(name, "changes");
            EXPECT_NE(name, "changes.removed");
        }
        ASSERT_TRUE(writer.Commit(error)) << error;
    }
    EXPECT_EQ(snapscan_test::DirectoryNames(dir.Join("out")),
              (std::vector<std::string>{"changes", "changes.removed"}));
    std::string copied = ReadFile(list);
    // The directory walk's order is the file system's: compare as a sorted list.
    std::vector<std::string> paths;
    for (size_t start = 0; start < copied.size();) {
        const size_t end = copied.find('\0', start);
        ASSERT_NE(end, std::string::npos);
        paths.push_back(copied.substr(start, end - start));
        start = end + 1;
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{".", "file\nwith newline", "moved", "new dir",
                                               "new dir/a", "new dir/sub", "new dir/sub/b"}));
    EXPECT_EQ(ReadFile(list + ".removed"), Nul({"old name", "old dir", "gone"}));
}

TEST(ChangesWriterTest, PathsOutsideTheShareFailAndLeaveNoFile) {
    struct Case {
        const char* name;
        const char* path;
        const char* oldPath;
        int32_t type;
        const char* error;
    };
    constexpr Case kCases[] = {
        {"another share", "/ifs/other/f", "", 2, "is not below the share"},
        {"a prefix of the share's name", "/ifs/sharex/f", "", 2, "is not below the share"},
        {"dot dot", "/ifs/share/../etc/passwd", "", 2, "is not below the share"},
        {"dot component", "/ifs/share/./f", "", 2, "is not below the share"},
        {"empty component", "/ifs/share/a//b", "", 2, "is not below the share"},
        {"old path outside", "/ifs/share/f", "/ifs/other/f", 3, "the old path"},
        {"the root removed", "/ifs/share/", "", 4, "removes the share's root"},
        {"a renamed directory missing from the snapshot", "/ifs/share/d/", "/ifs/share/e/", 3,
         "cannot list the renamed directory"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string list = dir.Join("changes");
        {
            ChangesWriter writer(list, ChangesFormat::kNul, 1);
            std::string error;
            ASSERT_TRUE(writer.BeginShare(0, "/ifs/share", dir.MakeDir("snapshot"), error));
            EXPECT_FALSE(writer.Add(Item(c.type, c.path, c.oldPath), error));
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
        EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()), std::vector<std::string>{"snapshot"});
    }
}

// JSON lines go to their file in batches from a thread of their own: all of them, in order,
// across shares, and only once committed.
TEST(ChangesWriterTest, ManyJsonLinesArriveInOrder) {
    TempDir dir;
    const std::string list = dir.Join("changes");
    constexpr int kItems = 20000;  // several batches
    {
        ChangesWriter writer(list, ChangesFormat::kJsonl, 2);
        std::string error;
        for (int share = 0; share < 2; ++share) {
            const std::string path = "/s" + std::to_string(share);
            ASSERT_TRUE(writer.BeginShare(share, path, path + "/.snapshot/x", error)) << error;
            for (int i = share * kItems / 2; i < (share + 1) * kItems / 2; ++i)
                ASSERT_TRUE(writer.Add(Item(2, path + "/f" + std::to_string(i)), error)) << error;
        }
        EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()).size(), 1u);
        EXPECT_NE(snapscan_test::DirectoryNames(dir.Path())[0], "changes");
        ASSERT_TRUE(writer.Commit(error)) << error;
    }
    std::istringstream lines(ReadFile(list));
    std::string line;
    int next = 0;
    while (std::getline(lines, line)) {
        const std::string path =
            "\"/s" + std::to_string(next * 2 / kItems) + "/f" + std::to_string(next) + "\"";
        ASSERT_NE(line.find("\"path\":" + path), std::string::npos) << next << ": " << line;
        ++next;
    }
    EXPECT_EQ(next, kItems);
}

// A file that cannot grow (a full disk, a size limit) fails the writer and leaves no list.
TEST(ChangesWriterTest, AListThatCannotBeWrittenFailsAndLeavesNothing) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    // Beyond the limit a write fails with EFBIG instead of the signal ending the test.
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    for (const ChangesFormat format : {ChangesFormat::kNul, ChangesFormat::kJsonl}) {
        SCOPED_TRACE(format == ChangesFormat::kNul ? "nul" : "jsonl");
        TempDir dir;
        struct rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        bool failed = false;
        std::string error;
        {
            ChangesWriter writer(dir.Join("changes"), format, 1);
            ASSERT_TRUE(writer.BeginShare(0, "/s", "/s/.snapshot/x", error)) << error;
            for (int i = 0; i < 20000 && !failed; ++i)
                failed = !writer.Add(Item(2, "/s/f" + std::to_string(i)), error);
            if (!failed) failed = !writer.Commit(error);
        }
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        EXPECT_TRUE(failed);
        EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
        EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()), std::vector<std::string>{});
    }
    signal(SIGXFSZ, previous);
}

TEST(ChangesWriterTest, SeveralSharesGetNumberedListsAndOldOnesGo) {
    struct Case {
        ChangesFormat format;
        size_t shares;
        size_t index;
        const char* path;
    };
    constexpr Case kCases[] = {
        {ChangesFormat::kNul, 1, 0, "f"},   {ChangesFormat::kNul, 3, 0, "f.1"},
        {ChangesFormat::kNul, 3, 2, "f.3"}, {ChangesFormat::kJsonl, 3, 2, "f"},
        {ChangesFormat::kJsonl, 1, 0, "f"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ChangesWriter::PathFor("f", c.format, c.index, c.shares), c.path);
    }
    TempDir dir;
    for (const char* old : {"c.1", "c.1.removed", "c.2", "c.2.removed", "c.3", "keep"})
        dir.WriteFile(old, "old");
    std::string error;
    ASSERT_TRUE(ChangesWriter(dir.Join("c"), ChangesFormat::kNul, 2).RemoveOld(error)) << error;
    EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()), (std::vector<std::string>{"c.3", "keep"}));
    dir.MakeDir("d/x");
    EXPECT_FALSE(ChangesWriter(dir.Join("d"), ChangesFormat::kJsonl, 1).RemoveOld(error));
    EXPECT_NE(error.find("cannot remove the old changes file"), std::string::npos) << error;
}

}  // namespace
