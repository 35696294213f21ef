#include <gtest/gtest.h>

#include "common/Records.h"

namespace {

TEST(RecordsTest, DefaultCompareItemIsEmpty) {
    const FileServerSnapshotCompareItem item;
    EXPECT_EQ(item.type, 0);
    EXPECT_TRUE(item.path.empty());
    EXPECT_TRUE(item.oldPath.empty());
    EXPECT_FALSE(item.extraFlag);
    for (const FileServerItemInformation* info : {&item.info, &item.oldInfo}) {
        EXPECT_EQ(info->inode, 0u);
        EXPECT_EQ(info->mode, 0u);
        EXPECT_EQ(info->accessTime, 0u);
        EXPECT_EQ(info->extraTime, 0u);
        EXPECT_EQ(info->modifiedTime, 0u);
        EXPECT_EQ(info->changeTime, 0u);
        EXPECT_EQ(info->size, 0u);
        EXPECT_EQ(info->extraValue, 0u);
        EXPECT_EQ(info->extraFlag, 0u);
    }
}

TEST(RecordsTest, ChangeEventItemClearLeavesNoTrace) {
    _ChangeEventItem row;
    row.inode = -5;
    row.path = "/ifs/a";
    row.changeTime = 1;
    row.modifiedTime = 2;
    row.accessTime = 3;
    row.changeType = "directory";
    row.size = 4;
    row.oldPath = "/ifs/b";
    row.isRename = 1;
    row.extraNumber = 7;
    row.clear();
    EXPECT_EQ(row.inode, 0);
    EXPECT_TRUE(row.path.empty());
    EXPECT_EQ(row.changeTime, 0u);
    EXPECT_EQ(row.modifiedTime, 0u);
    EXPECT_EQ(row.accessTime, 0u);
    EXPECT_TRUE(row.changeType.empty());
    EXPECT_EQ(row.size, 0);
    EXPECT_TRUE(row.oldPath.empty());
    EXPECT_EQ(row.isRename, 0u);
    EXPECT_EQ(row.extraNumber, 0u);
}

TEST(RecordsTest, ArrayInfoClearResetsEveryField) {
    _NASArrayInfo info;
    for (std::string* text :
         {&info.text0, &info.fileServer, &info.userName, &info.password, &info.text4, &info.text5,
          &info.text6, &info.text7, &info.text8, &info.text9, &info.text10, &info.text11}) {
        *text = "x";
    }
    info.number0 = info.number1 = info.number2 = info.number3 = info.number4 = 9;
    info.number5 = info.number6 = 9;
    info.flag0 = true;
    info.aliases.push_back(AliasInterface{1, "alias"});
    info.Clear();
    for (const std::string* text :
         {&info.text0, &info.fileServer, &info.userName, &info.password, &info.text4, &info.text5,
          &info.text6, &info.text7, &info.text8, &info.text9, &info.text10, &info.text11}) {
        EXPECT_TRUE(text->empty());
    }
    for (uint32_t number : {info.number0, info.number1, info.number2, info.number3, info.number4,
                            info.number5, info.number6}) {
        EXPECT_EQ(number, 0u);
    }
    EXPECT_FALSE(info.flag0);
    EXPECT_TRUE(info.aliases.empty());
}

TEST(RecordsTest, ChangeListInfoClearEmptiesPage) {
    _IsilonChangeListInfo page;
    page.items.push_back(_IsilonChangeListItem{});
    page.resumeToken = "token";
    page.extraNumber = 3;
    page.clear();
    EXPECT_TRUE(page.items.empty());
    EXPECT_TRUE(page.resumeToken.empty());
    EXPECT_EQ(page.extraNumber, 0u);
}

TEST(RecordsTest, ExportInfoCopiesAllFields) {
    FileServerExportInfo original;
    original.scanPath = "a";
    original.snapshotPath = "b";
    original.exportPath = "c";
    original.snapshotName = "d";
    original.snapshotId = 5;
    original.prevSnapshotName = "e";
    original.prevSnapshotId = 6;
    original.hasSnapshotPair = true;
    original.sourcePath = "f";
    original.extraText1 = "g";
    original.extraText2 = "h";
    original.extraFlag = true;

    FileServerExportInfo assigned;
    assigned = original;
    for (const FileServerExportInfo* copy : {&assigned}) {
        EXPECT_EQ(copy->scanPath, "a");
        EXPECT_EQ(copy->snapshotPath, "b");
        EXPECT_EQ(copy->exportPath, "c");
        EXPECT_EQ(copy->snapshotName, "d");
        EXPECT_EQ(copy->snapshotId, 5u);
        EXPECT_EQ(copy->prevSnapshotName, "e");
        EXPECT_EQ(copy->prevSnapshotId, 6u);
        EXPECT_TRUE(copy->hasSnapshotPair);
        EXPECT_EQ(copy->sourcePath, "f");
        EXPECT_EQ(copy->extraText1, "g");
        EXPECT_EQ(copy->extraText2, "h");
        EXPECT_TRUE(copy->extraFlag);
    }
    const FileServerExportInfo constructed(original);
    EXPECT_EQ(constructed.prevSnapshotName, "e");
    EXPECT_TRUE(constructed.extraFlag);
}

}  // namespace
