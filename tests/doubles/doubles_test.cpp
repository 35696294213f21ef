// The doubles behave as the plug-in tests assume: faults count per operation
// from the moment they are set, the array's content follows creations and
// deletions, and the capturing services keep what they are given.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/FXErrorUtil.h"
#include "host/HostSleep.h"
#include "host/ISendEventInterface.h"
#include "host/LogWriter.h"
#include "host/ManageIsilon.h"
#include "host/TZPlatformInfo.h"
#include "tests/doubles/capturing_event_sender.h"
#include "tests/doubles/capturing_log_writer.h"
#include "tests/doubles/scripted_array.h"
#include "tests/doubles/sleep_recorder.h"
#include "tests/support/temp_files.h"

namespace snapscan_test {
namespace {

class ScriptedArrayTest : public ::testing::Test {
protected:
    ScriptedArrayTest() : array(ScriptedArray::Get()) { array.Reset(); }
    ~ScriptedArrayTest() override { array.Reset(); }

    static ManageIsilon& Open(ManageIsilon& client) {
        client.SetFileServer("fs");
        client.SetUser("DOM\\\\user");
        client.SetPasswd("pw");
        EXPECT_TRUE(client.OpenConnection());
        return client;
    }

    ScriptedArray& array;
};

TEST_F(ScriptedArrayTest, FaultsCountFromWhenTheyAreSet) {
    struct Case {
        const char* name;
        void (*set)(ScriptedArray&);
        std::vector<bool> expectedFailures;  // per call, in order
    };
    const Case cases[] = {
        {"nth",
         [](ScriptedArray& a) { a.FailNth(ArrayOp::GetSnapshotList, 2, "500", "m"); },
         {false, true, false, false}},
        {"next",
         [](ScriptedArray& a) { a.FailNext(ArrayOp::GetSnapshotList, 2, "500", "m"); },
         {true, true, false, false}},
        {"always",
         [](ScriptedArray& a) { a.FailAlways(ArrayOp::GetSnapshotList, "500", "m"); },
         {true, true, true, true}},
        {"succeed",
         [](ScriptedArray& a) {
             a.FailAlways(ArrayOp::GetSnapshotList, "500", "m");
             a.Succeed(ArrayOp::GetSnapshotList);
         },
         {false, false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        ManageIsilon client;
        Open(client);
        // A call before the fault is set does not count towards it.
        std::vector<_IsilonSnapInfo> list;
        ASSERT_TRUE(client.GetSnapshotList(list, "", ""));
        c.set(array);
        for (size_t i = 0; i < c.expectedFailures.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(!client.GetSnapshotList(list, "", ""), c.expectedFailures[i]);
        }
        if (c.expectedFailures[1]) {
            std::string code, message;
            client.GetLastError(code, message);
            EXPECT_EQ(code, "500");
            EXPECT_EQ(message, "m");
        }
    }
}

TEST_F(ScriptedArrayTest, SnapshotsFollowCreationAndDeletion) {
    ManageIsilon client;
    Open(client);
    int id = 0;
    ASSERT_TRUE(client.CreateSnapshot("/ifs/a", "s1", id));
    EXPECT_EQ(id, 1);
    id = 0;
    EXPECT_FALSE(client.CreateSnapshot("/ifs/b", "s1", id));  // name in use
    EXPECT_EQ(id, 0);
    std::string code, message;
    client.GetLastError(code, message);
    EXPECT_EQ(code, "AEC_CONFLICT");

    array.FailNth(ArrayOp::CreateSnapshot, 1, "AEC_CONFLICT", "exists");
    EXPECT_FALSE(client.CreateSnapshot("/ifs/c", "s2", id));
    EXPECT_FALSE(array.HasSnapshot("s2"));

    EXPECT_TRUE(client.DeleteSnapshot("Empty", "s1", 0));
    EXPECT_FALSE(client.DeleteSnapshot("Empty", "s1", 0));
    EXPECT_TRUE(array.snapshots.empty());
    EXPECT_EQ(array.DeletedNames(), (std::vector<std::string>{"s1", "s1"}));

    const auto creates = array.CallsOf(ArrayOp::CreateSnapshot);
    ASSERT_EQ(creates.size(), 3u);
    EXPECT_EQ(creates[0].args, (std::vector<std::string>{"/ifs/a", "s1"}));
    EXPECT_TRUE(creates[1].failed);
    const auto open = array.CallsOf(ArrayOp::OpenConnection);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].args, (std::vector<std::string>{"fs", "DOM\\user", "pw"}));
}

TEST_F(ScriptedArrayTest, OperationsBeforeOpenConnectionFail) {
    ManageIsilon client;
    std::vector<_IsilonSnapInfo> list;
    EXPECT_FALSE(client.GetSnapshotList(list, "", ""));
    std::string code, message;
    client.GetLastError(code, message);
    EXPECT_EQ(code, ManageIsilonError::kNotConnected);
    array.FailNext(ArrayOp::OpenConnection, 1, "AUTH_FAILED", "denied");
    EXPECT_FALSE(client.OpenConnection());
    EXPECT_FALSE(client.GetSnapshotList(list, "", ""));
    EXPECT_TRUE(client.OpenConnection());
    EXPECT_TRUE(client.GetSnapshotList(list, "", ""));
    EXPECT_EQ(array.connectionsOpened, 1);
}

TEST_F(ScriptedArrayTest, ObjectsAndPagesAreCounted) {
    {
        ManageIsilon first;
        ManageIsilon second;
        Open(second);
        array.changeListPages.push_back({{_IsilonChangeListItem{}}, "token"});
        array.changeListPages.push_back({{}, ""});
        array.FailNext(ArrayOp::GetSnapshotChangeList, 2, "AEC_NOT_FOUND", "not yet");
        uint64_t base = 3, incr = 4;
        _IsilonChangeListInfo page;
        EXPECT_TRUE(second.GetSnapshotChangeList(base, incr, page).IsError());
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(array.lastReturnedError), 1627u);
        EXPECT_TRUE(second.GetSnapshotChangeList(base, incr, page).IsError());
        ASSERT_FALSE(second.GetSnapshotChangeList(base, incr, page).IsError());
        EXPECT_EQ(page.items.size(), 1u);
        EXPECT_EQ(page.resumeToken, "token");
        ASSERT_FALSE(second.GetSnapshotChangeList(base, incr, page).IsError());
        EXPECT_TRUE(page.items.empty());
        EXPECT_EQ(page.resumeToken, "");
        const auto calls = array.CallsOf(ArrayOp::GetSnapshotChangeList);
        EXPECT_EQ(calls.back().args, (std::vector<std::string>{"3", "4", "token"}));
        EXPECT_EQ(calls.back().object, 2);
        EXPECT_EQ(array.LiveObjects(), 2);
    }
    EXPECT_EQ(array.objectsCreated, 2);
    EXPECT_EQ(array.LiveObjects(), 0);
}

TEST(CapturingLogWriterTest, KeepsLinesUpToItsLevel) {
    CapturingLogWriter log(1);
    ASSERT_EQ(g_ptrLogWriter->GetLevel(), 1);
    SNAP_LOG(-1, "error [%s]", "e");
    SNAP_LOG(1, "detail %d", 1);
    SNAP_LOG(2, "finer %d", 2);
    g_ptrLogWriter->Write(3, "f", 1, 0, 0, "written regardless of the check");
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"error [e]", "detail 1"}));
    EXPECT_TRUE(log.Has(-1, "error [e]"));
    EXPECT_FALSE(log.Has(0, "error [e]"));
    EXPECT_EQ(log.Lines()[0].function.find("KeepsLinesUpToItsLevel") != std::string::npos, true);
}

TEST(CapturingEventSenderTest, RecordsOperationIdArgumentsAndInts) {
    CapturingEventSender events;
    CRwError event = FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000093);
    event << "name" << boost::any(uint64_t{42});
    ISendEventInterface::GetInstance()->PostEvent(event, 6, 0);
    ISendEventInterface::GetInstance()->SendEvent(event, 0, 0);
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].operation, "post");
    EXPECT_EQ(recorded[0].eventId, 0x11000093);
    EXPECT_EQ(recorded[0].arguments, (std::vector<EventArg>{std::string("name"), uint64_t{42}}));
    EXPECT_EQ(recorded[0].severity, 6);
    EXPECT_EQ(recorded[1].operation, "send");
    EXPECT_EQ(recorded[1].severity, 0);
}

TEST(TempConfigTest, SettingsReachTheRealLookupAndEnvironmentIsRestored) {
    const char* before = std::getenv("SNAPSCAN_CONFIG_DIR");
    const std::string saved = before ? before : "<unset>";
    {
        TempConfig config;
        EXPECT_EQ(std::getenv("SNAPSCAN_CONFIG_DIR"), config.ConfigDir());
        config.SetSetting("nSomeSetting", 7);
        TZPlatformInfo info;
        int value = 0;
        EXPECT_TRUE(info.getRegInt("~FileSystemAgent", "nSomeSetting", &value));
        EXPECT_EQ(value, 7);
        config.RemoveSetting("nSomeSetting");
        value = 0;
        EXPECT_FALSE(info.getRegInt("~FileSystemAgent", "nSomeSetting", &value));
    }
    const char* after = std::getenv("SNAPSCAN_CONFIG_DIR");
    EXPECT_EQ(after ? after : "<unset>", saved);
}

TEST(SleepRecorderTest, RecordsWithoutSleeping) {
    SleepRecorder sleeps;
    TZSleep(5000, "file.cpp", 12);
    const auto calls = sleeps.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].milliseconds, 5000u);
    EXPECT_EQ(calls[0].file, "file.cpp");
    EXPECT_EQ(calls[0].line, 12);
}

}  // namespace
}  // namespace snapscan_test
