// CompareSnapshots and its item source against a change-event database that
// fails: at its construction, at Create, at the n-th insert or rename, at
// PrepareSelectQuery, or at the n-th row read. Each failure must come back at
// the call where it happened, as the database's own error with one more frame
// (or the documented message), with nothing delivered as a success.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/doubles/scripted_database.h"
#include "tests/snapclient/compare_fixture.h"

namespace snapscan_test {
namespace {

const char kSourceLine[] = "Source volume[/mnt/share], Local volume[/local/share]";
const char kCompareLine[] =
    "Compare snapshots Current:[TZOP_12_345_789_a1] Prev:[TZOP_12_345_700_a1]";
const char kTotalLine[] =
    "Total number of items received by ChangeList for snapshots [BASE][11] and [INCR][22]: 5 ";

FileServerSnapshotCompareItem Sentinel() {
    FileServerSnapshotCompareItem item;
    item.type = 42;
    item.path = "untouched";
    return item;
}

class DatabaseFaultTest : public CompareTest {
protected:
    void SetUp() override {
        CompareTest::SetUp();
        database.Reset();
    }
    void TearDown() override {
        client.reset();
        database.Reset();
    }
    ScriptedDatabase& database = ScriptedDatabase::Get();
};

struct DatabaseFaultCase {
    const char* name;
    DatabaseOp op;
    int n;
    // expected
    bool compared;                       // CompareSnapshots succeeds (a read fault)
    uint32_t win32;                      // of the failure
    std::string message;                 // FXErrorUtil::MessageOf
    size_t trail;                        // frames of the failure
    std::string pushed;                  // message of CompareSnapshots' frame
    bool databaseError;                  // the database's failure object itself
    std::vector<std::string> ops;        // database calls
    std::vector<std::string> level0;     // the client's level 0 lines
    std::vector<std::string> delivered;  // paths of the changes before the end or error item
    int lastKind;                        // kind of the last item pulled; 42: none handed out
};

TEST_F(DatabaseFaultTest, EachFailingDatabaseCallFailsTheComparisonWhereItHappened) {
    const std::vector<std::string> loadUpToRename{"Construct",        "Create",      "InsertEvent",
                                                  "InsertEvent",      "InsertEvent", "InsertEvent",
                                                  "UpdateRenameEvent"};
    std::vector<std::string> loaded = loadUpToRename;
    loaded.push_back("InsertEvent");
    std::vector<std::string> prepared = loaded;
    prepared.push_back("PrepareSelectQuery");
    std::vector<std::string> readOnce = prepared;
    readOnce.push_back("GetNextEvent");
    std::vector<std::string> readThrice = readOnce;
    readThrice.insert(readThrice.end(), 2, "GetNextEvent");
    const std::vector<std::string> upToCompare{kSourceLine, kCompareLine};

    const DatabaseFaultCase cases[] = {
        {"the database cannot be made",
         DatabaseOp::Construct,
         1,
         false,
         14,
         "",
         1,
         "",
         false,
         {"Construct"},
         upToCompare,
         {},
         42},
        {"Create fails",
         DatabaseOp::Create,
         1,
         false,
         1627,
         "unable to open database file",
         2,
         "",
         true,
         {"Construct", "Create"},
         upToCompare,
         {},
         42},
        {"first insert fails",
         DatabaseOp::InsertEvent,
         1,
         false,
         1627,
         "disk I/O error",
         2,
         "",
         true,
         {"Construct", "Create", "InsertEvent"},
         upToCompare,
         {},
         42},
        {"insert on the second page fails",
         DatabaseOp::InsertEvent,
         3,
         false,
         1627,
         "database or disk is full",
         2,
         "",
         true,
         {"Construct", "Create", "InsertEvent", "InsertEvent", "InsertEvent"},
         upToCompare,
         {},
         42},
        {"rename update fails",
         DatabaseOp::UpdateRenameEvent,
         1,
         false,
         1627,
         "disk I/O error",
         2,
         "",
         true,
         loadUpToRename,
         upToCompare,
         {},
         42},
        {"insert after the rename fails",
         DatabaseOp::InsertEvent,
         5,
         false,
         1627,
         "disk I/O error",
         2,
         "",
         true,
         loaded,
         upToCompare,
         {},
         42},
        {"PrepareSelectQuery fails",
         DatabaseOp::PrepareSelectQuery,
         1,
         false,
         1627,
         "database is locked",
         2,
         "Unable to prepare select query for the event database",
         true,
         prepared,
         {kSourceLine, kCompareLine, kTotalLine},
         {},
         42},
        {"the first row cannot be read",
         DatabaseOp::GetNextEvent,
         1,
         true,
         0,
         "",
         0,
         "",
         false,
         readOnce,
         {kSourceLine, kCompareLine, kTotalLine,
          "Could not get all the records from ChangeList event cache."},
         {},
         6},
        {"the third row cannot be read",
         DatabaseOp::GetNextEvent,
         3,
         true,
         0,
         "",
         0,
         "",
         false,
         readThrice,
         {kSourceLine, kCompareLine, kTotalLine,
          "Could not get all the records from ChangeList event cache."},
         {"/mnt/share/a", "/mnt/share/b"},
         6},
    };
    for (const DatabaseFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        client = MakeClient();
        Peer::Array(*client).reset();
        array.Reset();
        database.Reset();
        log.Clear();
        events.Clear();
        SetShares({kShare});
        QueuePages(
            {{{Entry("10", "/a"), Entry("11", "/b")}, "t1"},
             {{Entry("12", "/c"), Entry(RemovedInode(10), "/a-old"), Entry("13", "/d")}, ""}});
        database.FailNth(c.op, c.n, c.message);

        ItemSource next = Sentinel;
        const CRwError result = Compare("/mnt/share", next);

        std::vector<FileServerSnapshotCompareItem> items;
        if (c.compared) {
            ASSERT_FALSE(result.IsError()) << result.AsString();
            items = Drain(next);
        } else {
            ASSERT_TRUE(result.IsError());
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), c.win32) << result.AsString();
            EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
            const FXErrorPrivate* detail = result.Detail();
            ASSERT_NE(detail, nullptr);
            ASSERT_EQ(detail->trail.size(), c.trail) << result.AsString();
            EXPECT_NE(detail->trail.back().function.find("CompareSnapshots"), std::string::npos);
            EXPECT_EQ(detail->trail.back().message, c.pushed);
            if (c.databaseError) {
                EXPECT_EQ(database.lastReturnedError.Detail(), detail)
                    << "the database's failure is passed on, not replaced";
            }
            items.push_back(next());
        }
        EXPECT_EQ(database.OpSequence(), c.ops);
        EXPECT_EQ(ClientTexts(0), c.level0) << log.Dump();
        EXPECT_TRUE(events.Events().empty());
        EXPECT_EQ(array.LiveObjects(), 0);
        ASSERT_FALSE(items.empty());
        EXPECT_EQ(items.back().type, c.lastKind);
        items.pop_back();
        std::vector<std::string> delivered;
        for (const FileServerSnapshotCompareItem& item : items) delivered.push_back(item.path);
        EXPECT_EQ(delivered, c.delivered);
    }
}

// A refused changelist entry stops the load there: nothing after it reaches
// the database, and nothing is handed out.
TEST_F(DatabaseFaultTest, RefusedEntryStopsTheLoadAtThatEntry) {
    QueuePages({{{Entry("10", "/a"), Entry("11", "/../b"), Entry("12", "/c")}, ""}});
    ItemSource next = Sentinel;
    const CRwError result = Compare("/mnt/share", next);
    ASSERT_TRUE(result.IsError());
    EXPECT_EQ(database.InsertedPaths(), std::vector<std::string>{"/mnt/share/a"});
    EXPECT_EQ(database.CallCount(DatabaseOp::PrepareSelectQuery), 0);
    EXPECT_EQ(next().type, 42);
}

}  // namespace
}  // namespace snapscan_test
