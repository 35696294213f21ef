// The scripted database's faults: the n-th call of an operation fails with the
// scripted message, and the database stays failed as the real one does.
#include <new>

#include "tests/doubles/scripted_database.h"
#include "tests/event_monitor/event_monitor_model.h"

namespace event_monitor_test {
namespace {

using snapscan_test::DatabaseOp;
using snapscan_test::ScriptedDatabase;

class ScriptedDatabaseTest : public EventMonitorTest {
protected:
    void SetUp() override {
        EventMonitorTest::SetUp();
        script.Reset();
    }
    void TearDown() override {
        script.Reset();
        EventMonitorTest::TearDown();
    }
    ScriptedDatabase& script = ScriptedDatabase::Get();
};

const std::vector<Entry> kEntries = {{1, "/a", "file"},
                                     {2, "/b", "file"},
                                     {3, "/c", "file"},
                                     {1, "/a-old", kRemoved},
                                     {2, "/b-old", kRemoved}};

TEST_F(ScriptedDatabaseTest, TheNthCallFailsAndTheFailureIsKept) {
    struct Case {
        DatabaseOp op;
        int n;
        size_t insertsBeforeFailure;  // inserts that went through
        bool loadFails;               // else PrepareSelectQuery or reading fails
    };
    constexpr Case kCases[] = {
        {DatabaseOp::Create, 1, 0, true},
        {DatabaseOp::InsertEvent, 1, 0, true},
        {DatabaseOp::InsertEvent, 3, 2, true},
        {DatabaseOp::UpdateRenameEvent, 2, 5, true},
        {DatabaseOp::PrepareSelectQuery, 1, 5, false},
        {DatabaseOp::GetNextEvent, 2, 5, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(snapscan_test::DatabaseOpName(c.op)) + " #" + std::to_string(c.n));
        script.Reset();
        script.FailNth(c.op, c.n, "disk I/O error");
        CSnapDiffEventMonitor monitor(results, 1, 2);
        CRwError result = monitor.Create();
        if (!result.IsError()) result = Load(monitor, kEntries);
        size_t inserts = 0;
        for (const auto& call : script.calls)
            inserts += call.op == DatabaseOp::InsertEvent && !call.failed;
        EXPECT_EQ(inserts, c.insertsBeforeFailure);
        if (c.loadFails) {
            ASSERT_TRUE(result.IsError());
            EXPECT_EQ(FXErrorUtil::MessageOf(result), "disk I/O error");
            EXPECT_EQ(script.lastReturnedError.Detail(), result.Detail());
            bool duplicate = true;
            const CRwError later = monitor.InsertEvent(RowOf({9, "/z", "file"}), duplicate);
            EXPECT_EQ(FXErrorUtil::MessageOf(later), "disk I/O error") << "the failure is kept";
            EXPECT_FALSE(duplicate);
            EXPECT_TRUE(monitor.PrepareSelectQuery().IsError());
            _ChangeEventItem row;
            EXPECT_EQ(monitor.GetNextEvent(row), -1);
            continue;
        }
        ASSERT_FALSE(result.IsError()) << result.AsString();
        result = monitor.PrepareSelectQuery();
        if (c.op == DatabaseOp::PrepareSelectQuery) {
            EXPECT_EQ(FXErrorUtil::MessageOf(result), "disk I/O error");
            _ChangeEventItem row;
            EXPECT_EQ(monitor.GetNextEvent(row), -1);
            continue;
        }
        ASSERT_FALSE(result.IsError());
        _ChangeEventItem row;
        EXPECT_EQ(monitor.GetNextEvent(row), 0);
        EXPECT_EQ(row.inode, 1);
        EXPECT_EQ(monitor.GetNextEvent(row), -1);
        EXPECT_EQ(monitor.GetNextEvent(row), -1) << "no silent restart";
        EXPECT_EQ(log->CountAt(-1, "disk I/O error"), 1);
    }
}

TEST_F(ScriptedDatabaseTest, ConstructionCanFailAsAnAllocationWould) {
    script.FailNth(DatabaseOp::Construct, 2, "");
    CSnapDiffEventMonitor first(results, 1, 2);
    EXPECT_THROW(CSnapDiffEventMonitor(results, 1, 3), std::bad_alloc);
    EXPECT_EQ(script.objectsCreated, 1);
    EXPECT_EQ(script.OpSequence(), (std::vector<std::string>{"Construct", "Construct"}));
}

}  // namespace
}  // namespace event_monitor_test
