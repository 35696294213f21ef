#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "host_env.h"
#include "host/TZPlatformInfo.h"

namespace snapscan_platform_test {
namespace {

class SettingsTest : public HostEnvTest {};

TEST_F(SettingsTest, LookupCases) {
    struct Case {
        const char* name;
        const char* content;  // null: no file
        const char* section;
        const char* key;
        bool found;
        int value;
        bool logged;  // a level -1 line names the file and the key
    };
    const Case kCases[] = {
        {"no file", nullptr, "~FileSystemAgent", "bBackupFromSnapshotOnly", false, 77, false},
        {"set", "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\n", "~FileSystemAgent",
         "bBackupFromSnapshotOnly", true, 1, false},
        {"negative", "[~FileSystemAgent]\nnLogLevel=-1\n", "~FileSystemAgent", "nLogLevel", true,
         -1, false},
        {"comment after value", "[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 30 ; s\n",
         "~FileSystemAgent", "IsilonChangeListGenerationWaitTime", true, 30, false},
        {"key with dot", "[~FileSystemAgent]\na.b = 4\n", "~FileSystemAgent", "a.b", true, 4,
         false},
        {"section missing", "[Other]\nbBackupFromSnapshotOnly = 1\n", "~FileSystemAgent",
         "bBackupFromSnapshotOnly", false, 77, false},
        {"key missing", "[~FileSystemAgent]\nx = 1\n", "~FileSystemAgent",
         "bBackupFromSnapshotOnly", false, 77, false},
        {"not an integer", "[~FileSystemAgent]\nbBackupFromSnapshotOnly = yes\n",
         "~FileSystemAgent", "bBackupFromSnapshotOnly", false, 77, true},
        {"trailing junk", "[~FileSystemAgent]\nnDisableSnapdiffForStreamingBackups = 1x\n",
         "~FileSystemAgent", "nDisableSnapdiffForStreamingBackups", false, 77, true},
        {"out of range", "[~FileSystemAgent]\nnDisableSnapdiffForStreamingBackups = 99999999999\n",
         "~FileSystemAgent", "nDisableSnapdiffForStreamingBackups", false, 77, true},
        {"empty value", "[~FileSystemAgent]\nbBackupFromSnapshotOnly =\n", "~FileSystemAgent",
         "bBackupFromSnapshotOnly", false, 77, true},
        {"unclosed section", "[~FileSystemAgent\nbBackupFromSnapshotOnly = 1\n", "~FileSystemAgent",
         "bBackupFromSnapshotOnly", false, 77, true},
        {"duplicate key",
         "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\nbBackupFromSnapshotOnly = 0\n",
         "~FileSystemAgent", "bBackupFromSnapshotOnly", false, 77, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::remove((configDir + "/settings.ini").c_str());
        std::remove((logDir + "/snapscan.log").c_str());
        ReopenLog();
        if (c.content != nullptr) WriteSettings(c.content);
        int value = 77;
        TZPlatformInfo settings;
        EXPECT_EQ(settings.getRegInt(c.section, c.key, &value), c.found);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(HasErrorLineWith({configDir + "/settings.ini", c.key}), c.logged) << LogText();
    }
}

TEST_F(SettingsTest, ChangedFileIsReadAtTheNextCall) {
    TZPlatformInfo settings;
    int value = 0;
    WriteSettings("[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 180\n");
    ASSERT_TRUE(
        settings.getRegInt("~FileSystemAgent", "IsilonChangeListGenerationWaitTime", &value));
    EXPECT_EQ(value, 180);
    WriteSettings("[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 5\n");
    ASSERT_TRUE(
        settings.getRegInt("~FileSystemAgent", "IsilonChangeListGenerationWaitTime", &value));
    EXPECT_EQ(value, 5);
}

// The check a host makes before a job: one unreadable line or one value that is
// not an integer fails the whole file, naming the line, because the lookup would
// take it as "not set" and a flag such as bBackupFromSnapshotOnly would be off.
TEST_F(SettingsTest, CheckFailsClosedOnAnyLineItCannotRead) {
    struct Case {
        const char* name;
        const char* content;  // null: no file
        bool ok;
        const char* problem;
    };
    const Case kCases[] = {
        {"no file", nullptr, true, ""},
        {"clean", "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1 ; only snapshots\n", true, ""},
        {"bom and crlf", "\xEF\xBB\xBF[~FileSystemAgent]\r\nbBackupFromSnapshotOnly = 1\r\n", true,
         ""},
        {"malformed line", "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\noops\n", false,
         "line 3"},
        {"yes", "[~FileSystemAgent]\nbBackupFromSnapshotOnly = yes\n", false,
         "line 2: setting [bBackupFromSnapshotOnly]"},
        {"key twice", "[~FileSystemAgent]\nnLogLevel = 1\nnLogLevel = 2\n", false, "line 3"},
        {"no section", "bBackupFromSnapshotOnly = 1\n", false, "line 1"},
        {"nul byte", "[~FileSystemAgent]\nnLogLevel = 1\n", false,
         "NUL"},  // the NUL is added below
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string path = configDir + "/settings.ini";
        std::remove(path.c_str());
        if (c.content != nullptr) {
            const std::string text =
                std::string(c.content) +
                (std::string(c.name) == "nul byte" ? std::string("\0\n", 2) : "");
            WriteFile(path, text);
        }
        std::string problem;
        EXPECT_EQ(TZPlatformInfo::CheckSettings(problem), c.ok) << problem;
        if (!c.ok) {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            EXPECT_NE(problem.find(path), std::string::npos) << problem;
        }
    }
    // A BOM no longer hides the first section from the lookup.
    WriteFile(configDir + "/settings.ini",
              "\xEF\xBB\xBF[~FileSystemAgent]\r\nbBackupFromSnapshotOnly = 1\r\n");
    int value = 0;
    EXPECT_TRUE(TZPlatformInfo().getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value));
    EXPECT_EQ(value, 1);
}

}  // namespace
}  // namespace snapscan_platform_test
