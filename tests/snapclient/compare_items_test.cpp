// What the agent pulls through the item source after CompareSnapshots: one
// item per stored change, renames joined, duplicates dropped, removals as
// directories, then the end item; and what it gets without a database.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/snapclient/compare_fixture.h"

namespace snapscan_test {
namespace {

// type|path|oldPath|inode|mode, for readable differences.
std::string Describe(const FileServerSnapshotCompareItem& item) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 "|0x%" PRIx32, item.info.inode,
                  item.info.mode);
    return std::to_string(item.type) + "|" + item.path + "|" + item.oldPath + "|" + numbers;
}

// The changes before the end item, in path order (the database's order is its own).
std::vector<std::string> DescribeChanges(std::vector<FileServerSnapshotCompareItem> items) {
    EXPECT_FALSE(items.empty());
    if (!items.empty()) {
        EXPECT_EQ(items.back().type, 5) << "the stream must end with the end item";
        items.pop_back();
    }
    std::sort(items.begin(), items.end(),
              [](const FileServerSnapshotCompareItem& a, const FileServerSnapshotCompareItem& b) {
                  return a.path < b.path;
              });
    std::vector<std::string> described;
    for (const FileServerSnapshotCompareItem& item : items) described.push_back(Describe(item));
    return described;
}

std::string TotalLine(uint64_t count) {
    return "Total number of items received by ChangeList for snapshots [BASE][11] and "
           "[INCR][22]: " +
           std::to_string(count) + " ";
}

// ---------------------------------------------------------------------------

struct ItemCase {
    const char* name;
    const char* source;
    std::vector<ChangeListPage> pages;
    std::vector<std::string> items;  // Describe() of each change, in path order
    uint64_t total;
    std::vector<std::string> renames;     // level 3 "Found rename event ..." lines
    std::vector<std::string> duplicates;  // level -1 lines
};

TEST_F(CompareTest, ChangelistEntriesBecomeItems) {
    const ItemCase cases[] = {
        {"changed file and directory",
         "/mnt/share",
         {{{Entry("10", "/f.txt"), Entry("11", "/dir", "directory")}, ""}},
         {"2|/mnt/share/dir/||11|0x4000", "2|/mnt/share/f.txt||10|0x8000"},
         2,
         {},
         {}},
        {"new then removed: file rename",
         "/mnt/share",
         {{{Entry("100", "/new"), Entry(RemovedInode(100), "/old")}, ""}},
         {"3|/mnt/share/new|/mnt/share/old|100|0x8000"},
         2,
         {"Found rename event for Path[/mnt/share/old], Inode[100]"},
         {}},
        {"directory rename",
         "/mnt/share",
         {{{Entry("400", "/dnew", "directory"), Entry(RemovedInode(400), "/dold", "directory")},
           ""}},
         {"3|/mnt/share/dnew/|/mnt/share/dold/|400|0x4000"},
         2,
         {"Found rename event for Path[/mnt/share/dold], Inode[400]"},
         {}},
        {"rename whose halves arrive on different pages",
         "/mnt/share",
         {{{Entry("100", "/new")}, "t1"}, {{Entry(RemovedInode(100), "/old")}, ""}},
         {"3|/mnt/share/new|/mnt/share/old|100|0x8000"},
         2,
         {"Found rename event for Path[/mnt/share/old], Inode[100]"},
         {}},
        {"removed then new: duplicate, ignored",
         "/mnt/share",
         {{{Entry(RemovedInode(200), "/gone"), Entry("200", "/back")}, ""}},
         {"4|/mnt/share/gone/||200|0x4000"},
         2,
         {},
         {"Found duplicate event for Path[/mnt/share/back], ChangeType[file], Inode[200]"}},
        {"same entry twice",
         "/mnt/share",
         {{{Entry("7", "/x", "directory"), Entry("7", "/x", "directory")}, ""}},
         {"2|/mnt/share/x/||7|0x4000"},
         2,
         {},
         {"Found duplicate event for Path[/mnt/share/x], ChangeType[directory], Inode[7]"}},
        {"two removals of one inode",
         "/mnt/share",
         {{{Entry(RemovedInode(300), "/a"), Entry(RemovedInode(300), "/b")}, ""}},
         {"4|/mnt/share/a/|/mnt/share/b/|300|0x4000"},
         2,
         {"Found rename event for Path[/mnt/share/b], Inode[300]"},
         {}},
        {"removed file is delivered as a directory",
         "/mnt/share",
         {{{Entry(RemovedInode(1), "/file.txt", "file")}, ""}},
         {"4|/mnt/share/file.txt/||1|0x4000"},
         1,
         {},
         {}},
        {"only bit 61 is cleared",
         "/mnt/share",
         {{{Entry(RemovedInode(0x1000000000000005ULL), "/r")}, ""}},
         {"4|/mnt/share/r/||1152921504606846981|0x4000"},
         1,
         {},
         {}},
        {"change type compared exactly",
         "/mnt/share",
         {{{Entry("20", "/D", "Directory"), Entry("21", "/R", "(removed)")}, ""}},
         {"2|/mnt/share/D||20|0x8000", "2|/mnt/share/R||21|0x8000"},
         2,
         {},
         {}},
        {"inode texts with leading zeros and at the 64-bit limit",
         "/mnt/share",
         {{{Entry("0042", "/n42"), Entry("0", "/n0"), Entry("18446744073709551615", "/max")}, ""}},
         {"4|/mnt/share/max/||16140901064495857663|0x4000", "2|/mnt/share/n0||0|0x8000",
          "2|/mnt/share/n42||42|0x8000"},
         3,
         {},
         {}},
        {"path joined to the volume as given",
         "/mnt/share/",
         {{{Entry("1", "/a b/c"), Entry("4", "/", "directory"), Entry("5", "/.hidden/a..b/..."),
            Entry("6", "/x:y\\z")},
           ""}},
         {"2|/mnt/share/||4|0x4000", "2|/mnt/share/.hidden/a..b/...||5|0x8000",
          "2|/mnt/share/a b/c||1|0x8000", "2|/mnt/share/x:y\\z||6|0x8000"},
         4,
         {},
         {}},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        log.Clear();
        QueuePages(c.pages);

        ItemSource next;
        const CRwError result = Compare(c.source, next);
        ASSERT_FALSE(result.IsError()) << result.AsString();

        EXPECT_EQ(DescribeChanges(Drain(next)), c.items);
        const std::vector<std::string> level0 = ClientTexts(0);
        ASSERT_FALSE(level0.empty());
        EXPECT_EQ(level0.back(), TotalLine(c.total));
        std::vector<std::string> renames;
        for (const std::string& text : ClientTexts(3))
            if (text.rfind("Found rename event", 0) == 0) renames.push_back(text);
        EXPECT_EQ(renames, c.renames);
        EXPECT_EQ(ClientTexts(-1), c.duplicates) << log.Dump();
    }
}

TEST_F(CompareTest, ItemsCarryTheEntryAttributesAndEntriesAreLoggedAsReceived) {
    _IsilonChangeListItem file = Entry("31", "/docs/a.txt", "file");
    file.accessTime = 1700000001;
    file.modifiedTime = 1700000002;
    file.changeTime = 1700000003;
    file.size = 4096;
    _IsilonChangeListItem removed = Entry(RemovedInode(32), "/docs/old", "file");
    removed.accessTime = 11;
    removed.modifiedTime = 12;
    removed.changeTime = 13;
    removed.size = -1;
    QueuePages({ChangeListPage{{file, removed}, ""}});

    ItemSource next;
    ASSERT_FALSE(Compare("/mnt/share", next).IsError());

    std::vector<std::string> entryLines;
    for (const std::string& text : ClientTexts(3))
        if (text.rfind("Path[", 0) == 0) entryLines.push_back(text);
    EXPECT_EQ(entryLines,
              (std::vector<std::string>{
                  "Path[/mnt/share/docs/a.txt], ChangeType[file], AccessTime[1700000001], "
                  "ChangeTime[1700000003], ModifiedTime[1700000002], Size[4096], inode[31]",
                  "Path[/mnt/share/docs/old], ChangeType[file], AccessTime[11], ChangeTime[13], "
                  "ModifiedTime[12], Size[-1], inode[2305843009213693984]"}));

    log.Clear();
    std::vector<FileServerSnapshotCompareItem> items = Drain(next);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2].type, 5);
    items.pop_back();
    std::sort(items.begin(), items.end(),
              [](const FileServerSnapshotCompareItem& a, const FileServerSnapshotCompareItem& b) {
                  return a.info.inode < b.info.inode;
              });

    const FileServerSnapshotCompareItem& changed = items[0];
    EXPECT_EQ(changed.type, 2);
    EXPECT_EQ(changed.path, "/mnt/share/docs/a.txt");
    EXPECT_EQ(changed.info.inode, 31u);
    EXPECT_EQ(changed.info.mode, 0x8000u);
    EXPECT_EQ(changed.info.accessTime, 1700000001u);
    EXPECT_EQ(changed.info.modifiedTime, 1700000002u);
    EXPECT_EQ(changed.info.changeTime, 1700000003u);
    EXPECT_EQ(changed.info.size, 4096u);

    const FileServerSnapshotCompareItem& gone = items[1];
    EXPECT_EQ(gone.type, 4);
    EXPECT_EQ(gone.path, "/mnt/share/docs/old/");
    EXPECT_EQ(gone.info.inode, 32u);
    EXPECT_EQ(gone.info.mode, 0x4000u);
    EXPECT_EQ(gone.info.accessTime, 11u);
    EXPECT_EQ(gone.info.modifiedTime, 12u);
    EXPECT_EQ(gone.info.changeTime, 13u);
    EXPECT_EQ(gone.info.size, UINT64_MAX);

    for (const FileServerSnapshotCompareItem& item : items) {
        EXPECT_EQ(item.oldPath, "");
        EXPECT_EQ(item.info.extraTime, 0u);
        EXPECT_EQ(item.info.extraValue, 0u);
        EXPECT_EQ(item.info.extraFlag, 0u);
        EXPECT_EQ(item.oldInfo.inode, 0u);
        EXPECT_EQ(item.oldInfo.mode, 0u);
        EXPECT_EQ(item.oldInfo.size, 0u);
        EXPECT_FALSE(item.extraFlag);
    }

    // The delivery line shows the row as stored, before any "/" is added.
    std::vector<std::string> delivered = ClientTexts(3);
    std::sort(delivered.begin(), delivered.end());
    EXPECT_EQ(delivered,
              (std::vector<std::string>{
                  "Path [/mnt/share/docs/a.txt], ChangeType [file], Inode [31], OldPath []",
                  "Path [/mnt/share/docs/old], ChangeType [(REMOVED)], Inode [32], OldPath []"}));
}

TEST_F(CompareTest, WithoutADatabaseTheSourceYieldsTheErrorItem) {
    // Never compared, then a comparison that failed before the database existed.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "never compared" : "first page refused");
        if (round == 1) {
            array.FailNext(ArrayOp::GetSnapshotChangeList, 1, "AEC_BAD_REQUEST", "bad");
            ItemSource next;
            ASSERT_TRUE(Compare("/mnt/share", next).IsError());
            EXPECT_FALSE(next);
        }
        log.Clear();
        const FileServerSnapshotCompareItem item = client->GetSnapshotCompareItem();
        EXPECT_EQ(item.type, 6);
        EXPECT_EQ(item.path, "");
        EXPECT_EQ(item.oldPath, "");
        EXPECT_EQ(item.info.inode, 0u);
        EXPECT_EQ(item.info.mode, 0u);
        EXPECT_EQ(ClientTexts(0),
                  std::vector<std::string>{"The event database is not initialized."});
    }
}

TEST_F(CompareTest, EndItemRepeatsAndCarriesNothing) {
    QueuePages({ChangeListPage{{Entry("1", "/a")}, ""}});
    ItemSource next;
    ASSERT_FALSE(Compare("/mnt/share", next).IsError());

    EXPECT_EQ(next().type, 2);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const FileServerSnapshotCompareItem end = next();
        EXPECT_EQ(end.type, 5);
        EXPECT_EQ(end.path, "");
        EXPECT_EQ(end.oldPath, "");
        EXPECT_EQ(end.info.inode, 0u);
        EXPECT_EQ(end.info.mode, 0u);
    }
}

TEST_F(CompareTest, ASecondComparisonReplacesTheDatabase) {
    const ShareFixture second{"/mnt/two", "TZOP_12_345_789_b2", 44, "TZOP_12_345_700_b2", 33};
    SetShares({kShare, second});

    QueuePages({ChangeListPage{{Entry("1", "/a"), Entry("2", "/b")}, ""}});
    ItemSource first;
    ASSERT_FALSE(Compare("/mnt/share", first).IsError());
    const FileServerSnapshotCompareItem taken = first();
    ASSERT_EQ(taken.type, 2);

    // A comparison that fails before reaching the database leaves it alone.
    ItemSource unused;
    ASSERT_TRUE(Compare("/mnt/none", unused).IsError());
    const FileServerSnapshotCompareItem rest = first();
    EXPECT_EQ(rest.type, 2);
    EXPECT_NE(rest.path, taken.path);

    // The same share again, half read: only the new changelist's items follow.
    QueuePages({ChangeListPage{{Entry("3", "/c")}, ""}});
    ItemSource again;
    ASSERT_FALSE(Compare("/mnt/share", again).IsError());
    EXPECT_EQ(DescribeChanges(Drain(again)), std::vector<std::string>{"2|/mnt/share/c||3|0x8000"});

    // Another share: every copy of the source reads this client's current database.
    QueuePages({ChangeListPage{{Entry("4", "/d")}, ""}});
    ItemSource other;
    ASSERT_FALSE(Compare("/mnt/two", other).IsError());
    EXPECT_EQ(DescribeChanges(Drain(first)), std::vector<std::string>{"2|/mnt/two/d||4|0x8000"});
    EXPECT_EQ(other().type, 5);
}

}  // namespace
}  // namespace snapscan_test
