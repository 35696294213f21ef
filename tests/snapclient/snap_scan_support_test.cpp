// The snap-scan capability check: the release rule, the changelist job type and
// the connection that every path releases.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/doubles/plugin_test.h"

namespace snapscan_test {
namespace {

const char kEnabledLine[] =
    "ChangelistCreate job type enabled for NAS snap scan on file server[array.test]";

class SnapScanSupportTest : public PluginTest {
protected:
    // A client with an open connection and nothing recorded yet.
    std::unique_ptr<CIsilonSnapClient> Connected() {
        auto client = MakeClient();
        array.calls.clear();
        log.Clear();
        return client;
    }
};

TEST_F(SnapScanSupportTest, ReleaseIsComparedFromItsFirstDigitByDotSeparatedComponents) {
    struct Case {
        const char* release;
        const char* refusedAs;  // nullptr: supported
    };
    const Case cases[] = {
        {"8.1.0.2", nullptr},
        {"8.1.0.1", "8.1.0.1"},
        {"8.2.0.0", nullptr},
        {"9.0.0.0", nullptr},
        {"v8.1.2.0", nullptr},
        {"OneFS 8.1.0.5", nullptr},
        {"OneFS 8.0.0.4", "8.0.0.4"},
        {"", ""},
        {"8.1.0.10", nullptr},  // by numbers, not by characters
        {"10.0.0.0", nullptr},
        {"8.10", nullptr},
        {"8.1.0.02", nullptr},
        {"08.01.00.002", nullptr},
        {"7.99.99.99", "7.99.99.99"},
        {"8.1.0.1.9", "8.1.0.1.9"},
        {"8.0.99999999999999999999999.0", "8.0.99999999999999999999999.0"},  // beyond 64 bits
        {"9.00000000000000000000000001", nullptr},
        {"8.1", "8.1"},
        {"8.1.0", "8.1.0"},
        {"8.1.0.2.1", nullptr},
        {"8.1.0.2a", nullptr},  // not a number: by characters, as a whole text would
        {"8.1.0.1x", "8.1.0.1x"},
        {"8.1.x.0", nullptr},
        {"OneFS 10.0.0.0", nullptr},
        {"beta", nullptr},  // no digit: compared whole
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("release \"") + c.release + "\"");
        array.Reset();
        array.SetRelease(c.release);
        array.jobInfo.enabled = true;
        auto client = Connected();

        const CRwError result = client->VerifySnapScanSupport();
        if (c.refusedAs == nullptr) {
            EXPECT_FALSE(result.IsError()) << result.AsString();
            EXPECT_EQ(array.OpSequence(),
                      (std::vector<std::string>{"GetVersionInfo", "GetChangeListJobInfo"}));
        } else {
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
            EXPECT_EQ(FXErrorUtil::MessageOf(result),
                      std::string("Release[") + c.refusedAs +
                          "] is less than [8.1.0.2], NAS snap scan is not supported");
            EXPECT_EQ(array.OpSequence(), (std::vector<std::string>{"GetVersionInfo"}));
        }
        EXPECT_FALSE(Peer::Array(*client));
        EXPECT_EQ(array.LiveObjects(), 0);
    }
}

TEST_F(SnapScanSupportTest, OnlyTheFirstVersionEntryCounts) {
    struct Case {
        const char* first;
        const char* second;
        bool supported;
    };
    const Case cases[] = {{"8.0.0.0", "9.0.0.0", false}, {"9.0.0.0", "1.0", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        array.Reset();
        array.SetRelease(c.first);
        array.versions.push_back(array.versions.front());
        array.versions.back().release = c.second;
        array.jobInfo.enabled = true;
        auto client = Connected();
        EXPECT_EQ(client->VerifySnapScanSupport().IsError(), !c.supported);
    }
}

TEST_F(SnapScanSupportTest, NoVersionEntriesIsAFailureNamingTheFileServer) {
    auto client = Connected();
    const CRwError result = client->VerifySnapScanSupport();
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "Could not get array[array.test] version info");
    EXPECT_FALSE(Peer::Array(*client));
    EXPECT_EQ(array.OpSequence(), (std::vector<std::string>{"GetVersionInfo"}));
}

TEST_F(SnapScanSupportTest, DisabledJobTypeIsEnabledKeepingItsOtherSettings) {
    array.SetRelease("8.1.0.2");
    array.jobInfo.enabled = false;
    array.jobInfo.flag0 = true;
    array.jobInfo.number0 = 7;
    array.jobInfo.text0 = "LOW";
    auto client = Connected();

    const CRwError result = client->VerifySnapScanSupport();
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(array.OpSequence(),
              (std::vector<std::string>{"GetVersionInfo", "GetChangeListJobInfo",
                                        "SetChangeListJobInfo"}));
    EXPECT_TRUE(array.jobInfo.enabled);
    EXPECT_TRUE(array.jobInfo.flag0);
    EXPECT_EQ(array.jobInfo.number0, 7u);
    EXPECT_EQ(array.jobInfo.text0, "LOW");
    EXPECT_EQ(log.DumpFrom("CIsilonSnapClient::"), std::string("0|") + kEnabledLine + "\n");
    EXPECT_FALSE(Peer::Array(*client));
}

TEST_F(SnapScanSupportTest, EnabledJobTypeIsLeftAloneSilently) {
    array.SetRelease("9.1.0.0");
    array.jobInfo.enabled = true;
    auto client = Connected();
    ASSERT_FALSE(client->VerifySnapScanSupport().IsError());
    EXPECT_EQ(array.CallCount(ArrayOp::SetChangeListJobInfo), 0);
    EXPECT_EQ(log.DumpFrom("CIsilonSnapClient::"), "");
}

TEST_F(SnapScanSupportTest, ArrayFailuresComeBackUnchangedAndReleaseTheConnection) {
    const ArrayOp failing[] = {ArrayOp::GetVersionInfo, ArrayOp::GetChangeListJobInfo,
                               ArrayOp::SetChangeListJobInfo};
    for (ArrayOp op : failing) {
        SCOPED_TRACE(ArrayOpName(op));
        array.Reset();
        array.SetRelease("8.1.0.2");
        array.jobInfo.enabled = false;
        auto client = Connected();
        array.FailNext(op, 1, "500", "array said no", 500);

        const CRwError result = client->VerifySnapScanSupport();
        ASSERT_TRUE(result.IsError());
        // The very failure the array client returned, nothing pushed onto it.
        EXPECT_EQ(result.code, array.lastReturnedError.code);
        EXPECT_EQ(result.Detail(), array.lastReturnedError.Detail());
        EXPECT_EQ(result.Detail()->trail.size(), 1u);
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 500u);
        EXPECT_EQ(array.OpSequence().back(), ArrayOpName(op));
        EXPECT_FALSE(Peer::Array(*client));
        EXPECT_EQ(array.LiveObjects(), 0);
        EXPECT_EQ(log.Count(kEnabledLine), 0);
    }
}

TEST_F(SnapScanSupportTest, NeedsAConnectionEveryTime) {
    array.SetRelease("8.1.0.2");
    array.jobInfo.enabled = true;
    auto client = Connected();
    ASSERT_FALSE(client->VerifySnapScanSupport().IsError());
    array.calls.clear();

    const CRwError second = client->VerifySnapScanSupport();
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(second), 1359u);
    EXPECT_EQ(FXErrorUtil::MessageOf(second), "ManageIsilon not initialized");
    EXPECT_TRUE(array.calls.empty());

    ASSERT_FALSE(client->InitArray(12).IsError());
    EXPECT_FALSE(client->VerifySnapScanSupport().IsError());
}

}  // namespace
}  // namespace snapscan_test
