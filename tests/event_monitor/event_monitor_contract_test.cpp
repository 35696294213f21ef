// The contract of the change-event database, checked against a plain
// in-memory model: duplicates, renames and read order for inputs in the array's
// order and in any other order, reading again, calls out of turn. Built twice:
// against the SQLite database and against the scripted double that the plug-in
// tests use, so that the double cannot drift from what it stands for.
#include <limits>

#include "tests/event_monitor/event_monitor_model.h"

namespace event_monitor_test {
namespace {

TEST_F(EventMonitorTest, DuplicatesRenamesAndOrderOfSmallInputs) {
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const struct {
        const char* name;
        std::vector<Entry> entries;
    } cases[] = {
        {"empty", {}},
        {"adjacent duplicate keeps the first row",
         {{5, "/a", "file"}, {5, "/a2", "file"}, {7, "/b", "directory"}}},
        {"new then removed is a rename",
         {{3, "/new", "file"}, {8, "/x", "file"}, {3, "/old", kRemoved}}},
        {"two removed with the same inode",
         {{2, "/k", "file"}, {4, "/r1", kRemoved}, {4, "/r2", kRemoved}}},
        {"removed entry of its own is stored",
         {{1, "/a", "file"}, {9, "/b", "file"}, {5, "/gone", kRemoved}}},
        {"removed first, then the same inode again",
         {{6, "/gone", kRemoved}, {2, "/a", "file"}, {6, "/back", "file"}}},
        {"non-adjacent duplicates in random order",
         {{5, "/a", "file"},
          {3, "/b", "file"},
          {9, "/c", "file"},
          {3, "/b-old", kRemoved},
          {1, "/d", "file"},
          {5, "/a-again", "file"},
          {9, "/c-old", kRemoved}}},
        {"step down inside the removed entries",
         {{10, "/a", "file"},
          {20, "/b", "file"},
          {30, "/c", "file"},
          {15, "/r15", kRemoved},
          {25, "/r25", kRemoved},
          {12, "/r12", kRemoved},
          {20, "/b-old", kRemoved},
          {15, "/r15-again", kRemoved},
          {30, "/c-again", "file"}}},
        {"extreme inode numbers and texts",
         {{kMin, "", ""},
          {-7, "/ü ñ 'quoted' \"x\"", "symlink"},
          {0, "/zero", "file"},
          {kMax, "/max", "directory"},
          {kMax, "/max-again", "directory"},
          {kMin, "/min-old", kRemoved},
          {-7, "", kRemoved},
          {kMax, "/max-old", kRemoved}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckAgainstModel(c.entries);
    }
}

TEST_F(EventMonitorTest, LargeInputsMatchTheModel) {
    // Large enough for many batches of the writer and both merge runs.
    std::vector<Entry> arrayOrder = ArrayOrder(20000, 7);
    std::vector<Entry> shuffled = arrayOrder;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(11));
    std::vector<Entry> strayAtEnd = arrayOrder;
    strayAtEnd.push_back({1001, "/late/low", kRemoved});
    strayAtEnd.push_back({arrayOrder[100].inode, "/late/stored", kRemoved});
    strayAtEnd.push_back({999999999, "/late/high", "file"});
    // As some arrays list them: each inode's present paths, then its removed
    // ones, so that a rename names a row the database has only just been given.
    std::vector<Entry> byInode = arrayOrder;
    std::stable_sort(byInode.begin(), byInode.end(),
                     [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
    std::vector<Entry> noRemoved;
    for (const Entry& e : arrayOrder)
        if (e.changeType != kRemoved) noRemoved.push_back(e);
    const struct {
        const char* name;
        const std::vector<Entry>& entries;
    } cases[] = {
        {"array order", arrayOrder},
        {"random order", shuffled},
        {"each inode's entries together", byInode},
        {"array order with stray rows at the end", strayAtEnd},
        {"no removed entries", noRemoved},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckAgainstModel(c.entries);
    }
}

TEST_F(EventMonitorTest, EndIsRepeatedAndPrepareAgainRestarts) {
    CSnapDiffEventMonitor monitor(results, 1, 2);
    ASSERT_FALSE(monitor.Create().IsError());
    ASSERT_FALSE(Load(monitor, {{4, "/b", "file"}, {2, "/a", "file"}}).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    EXPECT_EQ(2u, Drain(monitor).size());
    for (int i = 0; i < 3; ++i) {
        _ChangeEventItem row;
        EXPECT_EQ(1, monitor.GetNextEvent(row)) << "call " << i;
    }
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    const std::vector<_ChangeEventItem> again = Drain(monitor);
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ(2, again[0].inode);
    EXPECT_EQ(4, again[1].inode);
}

// Rows are read ahead of the caller: stopping partway, by reading again from the start or by
// letting the database go, must neither lose nor repeat a row, nor hang.
TEST_F(EventMonitorTest, ReadingStoppedPartwayRestartsOrEndsCleanly) {
    const std::vector<Entry> entries = ArrayOrder(20000, 3);
    const Model model = Expect(entries);
    ASSERT_GT(model.rows.size(), 10000u);
    for (const size_t stopAfter : {size_t{0}, size_t{1}, size_t{777}, model.rows.size() / 2}) {
        SCOPED_TRACE("stopped after " + std::to_string(stopAfter) + " rows");
        {
            CSnapDiffEventMonitor monitor(results, 1, 2);
            ASSERT_FALSE(monitor.Create().IsError());
            ASSERT_FALSE(Load(monitor, entries).IsError());
            ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
            for (size_t i = 0; i < stopAfter; ++i) {
                _ChangeEventItem row;
                ASSERT_EQ(0, monitor.GetNextEvent(row));
                ASSERT_EQ(model.rows[i].inode, row.inode);
            }
            ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
            ExpectSameRows(model.rows, Drain(monitor));
        }
        {
            CSnapDiffEventMonitor monitor(results, 1, 2);
            ASSERT_FALSE(monitor.Create().IsError());
            ASSERT_FALSE(Load(monitor, entries).IsError());
            ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
            for (size_t i = 0; i < stopAfter; ++i) {
                _ChangeEventItem row;
                ASSERT_EQ(0, monitor.GetNextEvent(row));
            }
        }  // destroyed with the read-ahead under way
        EXPECT_FALSE(Exists(results + "/snapdiff_1_2.db"));
    }
}

TEST_F(EventMonitorTest, CallsOutOfTurnFail) {
    CSnapDiffEventMonitor monitor(results, 1, 2);
    _ChangeEventItem row = RowOf({1, "/a", "file"});
    bool duplicate = true;
    EXPECT_TRUE(monitor.InsertEvent(row, duplicate).IsError()) << "before Create";
    EXPECT_FALSE(duplicate);
    EXPECT_TRUE(monitor.PrepareSelectQuery().IsError()) << "before Create";

    ASSERT_FALSE(monitor.Create().IsError());
    EXPECT_EQ(-1, monitor.GetNextEvent(row)) << "before PrepareSelectQuery";
    EXPECT_EQ(1, log->CountAt(-1, "is not ready for reading"));

    ASSERT_FALSE(monitor.InsertEvent(row, duplicate).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    const CRwError late = monitor.InsertEvent(row, duplicate);
    EXPECT_TRUE(late.IsError()) << "after PrepareSelectQuery";
    EXPECT_EQ(1627u, FXErrorUtil::Win32CodeOf(late));
    EXPECT_TRUE(monitor.UpdateRenameEvent(row).IsError()) << "after PrepareSelectQuery";
    EXPECT_EQ(1u, Drain(monitor).size()) << "the late calls changed nothing";
}

TEST_F(EventMonitorTest, RenameOfAnInodeNotStoredFails) {
    const struct {
        const char* name;
        std::vector<Entry> before;  // loaded first; sets the loading order
    } cases[] = {
        {"in order", {{1, "/a", "file"}, {5, "/b", "file"}}},
        {"out of order",
         {{5, "/b", "file"}, {1, "/a", "file"}, {3, "/c", "file"}, {2, "/d", "file"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        ASSERT_FALSE(Load(monitor, c.before).IsError());
        // Reported by the call itself or, when the writer applies it, by the next one.
        CRwError result = monitor.UpdateRenameEvent(RowOf({4, "/nowhere", kRemoved}));
        if (!result.IsError()) result = monitor.PrepareSelectQuery();
        ASSERT_TRUE(result.IsError());
        EXPECT_EQ(1627u, FXErrorUtil::Win32CodeOf(result));
        EXPECT_NE(std::string::npos,
                  FXErrorUtil::MessageOf(result).find("No stored row with inode 4"))
            << result.AsString();
        EXPECT_TRUE(monitor.PrepareSelectQuery().IsError()) << "the failure is kept";
    }
}

TEST_F(EventMonitorTest, CreateAgainEmptiesTheDatabase) {
    CSnapDiffEventMonitor monitor(results, 1, 2);
    ASSERT_FALSE(monitor.Create().IsError());
    ASSERT_FALSE(Load(monitor, ArrayOrder(5000, 3)).IsError());
    ASSERT_FALSE(monitor.Create().IsError());
    ASSERT_FALSE(Load(monitor, {{8, "/only", "file"}}).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    const std::vector<_ChangeEventItem> rows = Drain(monitor);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("/only", rows[0].path);
}

TEST_F(EventMonitorTest, TwoPairsSideBySide) {
    CSnapDiffEventMonitor first(results, 10, 11);
    CSnapDiffEventMonitor second(results, 10, 12);
    EXPECT_EQ(results + "/snapdiff_10_11.db", first.Path());
    EXPECT_EQ(results + "/snapdiff_10_12.db", second.Path());
    ASSERT_FALSE(first.Create().IsError());
    ASSERT_FALSE(second.Create().IsError());
    const std::vector<Entry> a = ArrayOrder(6000, 1);
    const std::vector<Entry> b = ArrayOrder(6000, 2);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) {
            ASSERT_FALSE(Load(first, {a[i]}).IsError());
        }
        if (i < b.size()) {
            ASSERT_FALSE(Load(second, {b[i]}).IsError());
        }
    }
    ASSERT_FALSE(first.PrepareSelectQuery().IsError());
    ASSERT_FALSE(second.PrepareSelectQuery().IsError());
    ExpectSameRows(Expect(a).rows, Drain(first));
    ExpectSameRows(Expect(b).rows, Drain(second));
}

}  // namespace
}  // namespace event_monitor_test
