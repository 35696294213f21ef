#include <gtest/gtest.h>

#include "host_env.h"
#include "host/FXErrorUtil.h"
#include "host/TzMntTab.h"

namespace snapscan_platform_test {
namespace {

class MountTableTest : public HostEnvTest {};

TEST_F(MountTableTest, EntriesInTableOrderWithEscapesDecoded) {
    const std::string table = root + "/mounts";
    WriteFile(table,
              "array:/ifs/data /mnt/data nfs rw,vers=3 0 0\n"
              "array:/ifs/with\\040space /mnt/with\\040space nfs4 ro 0 0\n"
              "\n"
              "lonely\n"
              "a:/t\\011ab /mnt/new\\012line\\134back nfs rw 0 0\n"
              "a:/x\\08 /mnt/\\\\odd\\777 nfs rw 0 0\n"
              "   a:/lead\t/mnt/tabbed\n"
              "array:/ifs/data /mnt/data nfs rw 0 0\n");
    setenv("SNAPSCAN_MOUNT_TABLE", table.c_str(), 1);
    std::list<TzMntTab::Entry> entries(1);  // cleared first
    ASSERT_FALSE(TzMntTab::getAll(entries).IsError());

    struct Expected {
        const char* device;
        const char* mountPoint;
        const char* type;
        const char* options;
    };
    const Expected kExpected[] = {
        {"array:/ifs/data", "/mnt/data", "nfs", "rw,vers=3"},
        {"array:/ifs/with space", "/mnt/with space", "nfs4", "ro"},
        {"a:/t\tab", "/mnt/new\nline\\back", "nfs", "rw"},
        {"a:/x\\08", "/mnt/\\\\odd\\777", "nfs", "rw"},  // not escapes: kept as written
        {"a:/lead", "/mnt/tabbed", "", ""},
        {"array:/ifs/data", "/mnt/data", "nfs", "rw"},
    };
    ASSERT_EQ(entries.size(), std::size(kExpected));
    auto entry = entries.begin();
    for (const Expected& expected : kExpected) {
        SCOPED_TRACE(expected.mountPoint);
        EXPECT_EQ(entry->device, expected.device);
        EXPECT_EQ(entry->mountPoint, expected.mountPoint);
        EXPECT_EQ(entry->text3, expected.type);
        EXPECT_EQ(entry->text4, expected.options);
        ++entry;
    }
    EXPECT_TRUE(HasErrorLineWith({table, "line 4"})) << LogText();
}

TEST_F(MountTableTest, UnreadableTableIsAFailureNamingIt) {
    const std::string table = root + "/no-such-mounts";
    setenv("SNAPSCAN_MOUNT_TABLE", table.c_str(), 1);
    std::list<TzMntTab::Entry> entries(2);
    const CRwError error = TzMntTab::getAll(entries);
    ASSERT_TRUE(error.IsError());
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(error), 1627u);
    EXPECT_NE(FXErrorUtil::MessageOf(error).find(table), std::string::npos);
    EXPECT_NE(FXErrorUtil::MessageOf(error).find("No such file"), std::string::npos);
    EXPECT_TRUE(entries.empty());
}

TEST_F(MountTableTest, ReadsTheProcessMountTableByDefault) {
    std::list<TzMntTab::Entry> entries;
    ASSERT_FALSE(TzMntTab::getAll(entries).IsError());
    bool root = false;
    for (const TzMntTab::Entry& entry : entries) root = root || entry.mountPoint == "/";
    EXPECT_TRUE(root);
}

}  // namespace
}  // namespace snapscan_platform_test
