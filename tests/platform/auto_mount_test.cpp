#include <gtest/gtest.h>

#include "host_env.h"
#include "host/FileShareAutoMount.h"

namespace snapscan_platform_test {
namespace {

class AutoMountTest : public HostEnvTest {};

TEST_F(AutoMountTest, ConvertsScanPaths) {
    struct Case {
        const char* scanPath;
        const char* mountSource;  // "" with noMountForm
        const char* exportName;
    };
    constexpr Case kCases[] = {
        {"array:/ifs/data", "array:/ifs/data", "/ifs/data"},
        {"10.0.0.5:/ifs/a b/c", "10.0.0.5:/ifs/a b/c", "/ifs/a b/c"},
        {"nfs://array/ifs/data", "array:/ifs/data", "/ifs/data"},
        {"NFS://array/ifs/data/", "array:/ifs/data/", "/ifs/data/"},
        {"nfs://array:2049/ifs/data", "array:/ifs/data", "/ifs/data"},
        {"nfs://array/", "array:/", "/"},
        {"/mnt/local/share", "", ""},
        {"", "", ""},
        {":/ifs/data", "", ""},
        {"array:", "", ""},
        {"array:relative", "", ""},
        {"nfs://array", "", ""},
        {"nfs:///ifs/data", "", ""},
        {"smb://array/share", "", ""},
        {"dir/with:/colon", "", ""},
        {"[::1]:/ifs/share", "[::1]:/ifs/share", "/ifs/share"},
        {"[fd00:1::5%eth0]:/ifs/x:y", "[fd00:1::5%eth0]:/ifs/x:y", "/ifs/x:y"},
        {"nfs://[fd00::1]/ifs/v6", "[fd00::1]:/ifs/v6", "/ifs/v6"},
        {"nfs://[fd00::1]:2049/ifs/v6", "[fd00::1]:/ifs/v6", "/ifs/v6"},
        {"nfs://[::1]//ifs/v6", "[::1]:/ifs/v6", "/ifs/v6"},
        {"[::1]/ifs/share", "", ""},
        {"[::1]:ifs", "", ""},
        {"[::1]x]:/ifs", "", ""},
        {"[a/b]:/ifs", "", ""},
        {"nfs://[::1/ifs", "", ""},
        {"nfs://[::1]x/ifs", "", ""},
        {"nfs://[::1]:port/ifs", "", ""},
        {"nfs://[]/ifs", "", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.scanPath);
        std::string mountSource = "stale", exportName = "stale";
        bool noMountForm = false;
        EXPECT_FALSE(FileShareAutoMount::convertScanToMountFormat(c.scanPath, mountSource,
                                                                  exportName, noMountForm)
                         .IsError());
        const bool expectForm = *c.mountSource != '\0';
        EXPECT_EQ(noMountForm, !expectForm);
        EXPECT_EQ(mountSource, c.mountSource);
        EXPECT_EQ(exportName, c.exportName);
        if (!expectForm) {
            EXPECT_TRUE(HasErrorLineWith({std::string("[") + c.scanPath + "]"})) << LogText();
        }
    }
}

}  // namespace
}  // namespace snapscan_platform_test
