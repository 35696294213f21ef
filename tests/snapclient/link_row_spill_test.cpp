// The further paths of hard links: every row back in order and whole, whether it stayed in
// memory or went to the file, read as often as asked; no file left behind; a failure to keep
// them is reported, never a silent loss.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "snapclient/LinkRowSpill.h"
#include "tests/support/temp_files.h"

namespace {

using snapclient::LinkRowSpill;
using snapscan_test::TempDir;

_ChangeEventItem Row(uint64_t i, size_t pathBytes) {
    _ChangeEventItem row;
    row.inode = static_cast<int64_t>(4300000000ULL + i);
    row.path = "/mnt/s/h" + std::to_string(i) + "_" + std::string(pathBytes, 'x');
    row.changeTime = 1700000000 + i;
    row.modifiedTime = i;
    row.accessTime = ~uint64_t{0} - i;
    row.changeType = i % 2 == 0 ? "regular" : "(REMOVED)";
    row.size = -static_cast<int64_t>(i);
    row.oldPath = i % 3 == 0 ? "" : "/mnt/s/old" + std::to_string(i);
    row.isRename = static_cast<uint32_t>(i % 2);
    row.extraNumber = static_cast<uint32_t>(i * 7);
    return row;
}

void ExpectSame(const _ChangeEventItem& got, const _ChangeEventItem& want) {
    EXPECT_EQ(got.inode, want.inode);
    EXPECT_EQ(got.path, want.path);
    EXPECT_EQ(got.changeTime, want.changeTime);
    EXPECT_EQ(got.modifiedTime, want.modifiedTime);
    EXPECT_EQ(got.accessTime, want.accessTime);
    EXPECT_EQ(got.changeType, want.changeType);
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.oldPath, want.oldPath);
    EXPECT_EQ(got.isRename, want.isRename);
    EXPECT_EQ(got.extraNumber, want.extraNumber);
}

TEST(LinkRowSpillTest, RowsComeBackInOrderWhereverTheyWere) {
    struct Case {
        const char* name;
        size_t memoryBytes;
        uint64_t rows;
        size_t pathBytes;
    };
    const Case kCases[] = {
        {"none", 1 << 20, 0, 10},
        {"in memory", 1 << 20, 500, 10},
        {"in the file, many windows", 4096, 5000, 40},
        {"rows longer than the memory bound", 256, 50, 3000},
        {"every row written out at once", 0, 20, 5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LinkRowSpill spill(c.memoryBytes);
        spill.Reset(dir.Path());
        std::string error;
        for (uint64_t i = 0; i < c.rows; ++i)
            ASSERT_TRUE(spill.Add(Row(i, c.pathBytes), error)) << error;
        EXPECT_EQ(spill.Size(), c.rows);
        // The file has no name: nothing is left in the directory whatever happens next.
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass);
            _ChangeEventItem row;
            for (uint64_t i = 0; i < c.rows; ++i) {
                ASSERT_EQ(spill.Next(row, error), 1) << i << ": " << error;
                ExpectSame(row, Row(i, c.pathBytes));
            }
            EXPECT_EQ(spill.Next(row, error), 0);
            EXPECT_EQ(spill.Next(row, error), 0);
            spill.Rewind();
        }
        spill.Reset(dir.Path());
        _ChangeEventItem row;
        EXPECT_EQ(spill.Next(row, error), 0);
    }
}

// Rows added after a read are read after the earlier ones, from the first row again.
TEST(LinkRowSpillTest, AddingAfterReadingKeepsTheOrder) {
    for (const size_t memoryBytes : {size_t{1} << 20, size_t{300}}) {
        SCOPED_TRACE(memoryBytes);
        TempDir dir;
        LinkRowSpill spill(memoryBytes);
        spill.Reset(dir.Path());
        std::string error;
        _ChangeEventItem row;
        for (uint64_t i = 0; i < 10; ++i) ASSERT_TRUE(spill.Add(Row(i, 8), error)) << error;
        ASSERT_EQ(spill.Next(row, error), 1);
        for (uint64_t i = 10; i < 20; ++i) ASSERT_TRUE(spill.Add(Row(i, 8), error)) << error;
        for (uint64_t i = 0; i < 20; ++i) {
            ASSERT_EQ(spill.Next(row, error), 1) << error;
            ExpectSame(row, Row(i, 8));
        }
        EXPECT_EQ(spill.Next(row, error), 0);
    }
}

TEST(LinkRowSpillTest, ADirectoryThatCannotHoldTheFileFailsTheAdd) {
    TempDir dir;
    LinkRowSpill spill(64);
    spill.Reset(dir.Join("missing"));
    std::string error;
    bool added = true;
    uint64_t rows = 0;
    while (added && rows < 10) added = spill.Add(Row(rows++, 100), error);
    EXPECT_FALSE(added);
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    // What was added before the file was needed is still there.
    EXPECT_EQ(spill.Size(), rows);
}

}  // namespace
