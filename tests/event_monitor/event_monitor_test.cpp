// The change-event database: duplicates, renames and read order checked against
// a plain in-memory model for inputs in the array's order and in any other
// order, plus the life of the file (mode, stale files, removal, the keep
// setting) and failures from the file system and from SQLite.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "host/CSnapDiffEventMonitor.h"
#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRemoved = "(REMOVED)";

class CapturingLog : public CLogWriterInterface {
public:
    void Write(int level, const char*, int, int, int, const char* format, ...) override {
        char text[2048];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(level, text);
    }
    int GetLevel() override { return 3; }

    int CountAt(int level, const std::string& part) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& l) {
            return l.first == level && l.second.find(part) != std::string::npos;
        }));
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> m_lines;
};

// One changelist entry as the comparison hands it over.
struct Entry {
    int64_t inode;
    std::string path;
    std::string changeType;
};

_ChangeEventItem RowOf(const Entry& entry) {
    _ChangeEventItem row;
    row.inode = entry.inode;
    row.path = entry.path;
    row.changeType = entry.changeType;
    // Every field distinct and derived from the inode, so a mix-up shows.
    const uint64_t seed = static_cast<uint64_t>(entry.inode);
    row.changeTime = ~seed;
    row.modifiedTime = seed * 3 + 1;
    row.accessTime = seed ^ 0x5555555555555555ull;
    row.size = -static_cast<int64_t>(seed & 0xFFFFFF) - 1;
    row.extraNumber = static_cast<uint32_t>(seed * 7);
    return row;
}

// What the database must do, with a map: the first row of an inode is kept;
// a later "(REMOVED)" row of it names the old path of a rename.
struct Model {
    std::vector<bool> duplicates;
    std::vector<_ChangeEventItem> rows;  // ascending inode
};

Model Expect(const std::vector<Entry>& entries) {
    Model model;
    std::map<int64_t, _ChangeEventItem> stored;
    for (const Entry& entry : entries) {
        auto found = stored.find(entry.inode);
        model.duplicates.push_back(found != stored.end());
        if (found == stored.end()) {
            stored.emplace(entry.inode, RowOf(entry));
        } else if (entry.changeType == kRemoved) {
            found->second.oldPath = entry.path;
            found->second.isRename = 1;
        }
    }
    for (const auto& item : stored) model.rows.push_back(item.second);
    return model;
}

// Loads the entries as the comparison does; the first failure is returned.
CRwError Load(CSnapDiffEventMonitor& monitor, const std::vector<Entry>& entries,
              std::vector<bool>* duplicates = nullptr) {
    for (const Entry& entry : entries) {
        const _ChangeEventItem row = RowOf(entry);
        bool duplicate = false;
        CRwError result = monitor.InsertEvent(row, duplicate);
        if (result.IsError()) return result;
        if (duplicates != nullptr) duplicates->push_back(duplicate);
        if (duplicate && row.changeType == kRemoved) {
            result = monitor.UpdateRenameEvent(row);
            if (result.IsError()) return result;
        }
    }
    return CRwError::Success();
}

std::vector<_ChangeEventItem> Drain(CSnapDiffEventMonitor& monitor) {
    std::vector<_ChangeEventItem> rows;
    for (;;) {
        _ChangeEventItem row;
        const int result = monitor.GetNextEvent(row);
        EXPECT_GE(result, 0);
        if (result != 0) break;
        rows.push_back(row);
    }
    return rows;
}

void ExpectSameRows(const std::vector<_ChangeEventItem>& expected,
                    const std::vector<_ChangeEventItem>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const _ChangeEventItem& e = expected[i];
        const _ChangeEventItem& a = actual[i];
        SCOPED_TRACE("row " + std::to_string(i) + " inode " + std::to_string(e.inode));
        ASSERT_EQ(e.inode, a.inode);
        EXPECT_EQ(e.path, a.path);
        EXPECT_EQ(e.changeType, a.changeType);
        EXPECT_EQ(e.oldPath, a.oldPath);
        EXPECT_EQ(e.isRename, a.isRename);
        EXPECT_EQ(e.changeTime, a.changeTime);
        EXPECT_EQ(e.modifiedTime, a.modifiedTime);
        EXPECT_EQ(e.accessTime, a.accessTime);
        EXPECT_EQ(e.size, a.size);
        EXPECT_EQ(e.extraNumber, a.extraNumber);
    }
}

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Holds the write lock of a database file from a connection of its own, as
// another process could.
class OutsideLock {
public:
    explicit OutsideLock(const std::string& path) {
        EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr));
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(m_db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr))
            << sqlite3_errmsg(m_db);
    }
    ~OutsideLock() {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(m_db);
    }

private:
    sqlite3* m_db = nullptr;
};

long CountRows(const std::string& path) {
    sqlite3* db = nullptr;
    long count = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return count;
}

// Entries as the array lists them: ascending inodes with some repeated at once,
// then the removed entries, ascending: old halves of renames (stored inodes),
// entries removed for good (new inodes), and a few removed twice.
std::vector<Entry> ArrayOrder(size_t count, uint32_t seed) {
    std::mt19937_64 random(seed);
    std::vector<Entry> entries;
    std::vector<Entry> removed;
    int64_t inode = 1000;
    for (size_t i = 0; i < count; ++i) {
        inode += 1 + static_cast<int64_t>(random() % 5);
        const std::string path = "/share/dir" + std::to_string(i % 97) + "/file " +
                                 std::to_string(i);
        entries.push_back({inode, path, i % 11 == 0 ? "directory" : "file"});
        if (random() % 100 < 3) entries.push_back({inode, path + ".again", "file"});
        const unsigned pick = static_cast<unsigned>(random() % 100);
        if (pick < 4) removed.push_back({inode, "/share/old/" + std::to_string(i), kRemoved});
        if (pick == 4) removed.push_back({inode - 1, "/share/gone/" + std::to_string(i), kRemoved});
        if (pick == 5) {
            removed.push_back({inode, "/share/first/" + std::to_string(i), kRemoved});
            removed.push_back({inode, "/share/second/" + std::to_string(i), kRemoved});
        }
    }
    std::stable_sort(removed.begin(), removed.end(),
                     [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
    entries.insert(entries.end(), removed.begin(), removed.end());
    return entries;
}

class EventMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/event_monitor_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        root = pattern;
        results = root + "/results";
        config = root + "/config";
        fs::create_directories(results);
        fs::create_directories(config);
        fs::create_directories(root + "/log");
        setenv("SNAPSCAN_CONFIG_DIR", config.c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", (root + "/log").c_str(), 1);
        m_previousLog = g_ptrLogWriter;
        log = boost::make_shared<CapturingLog>();
        g_ptrLogWriter = log;
    }

    void TearDown() override {
        g_ptrLogWriter = m_previousLog;
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Loads, prepares and drains; checks duplicate flags and rows against the model.
    void CheckAgainstModel(const std::vector<Entry>& entries) {
        const Model model = Expect(entries);
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        std::vector<bool> duplicates;
        const CRwError loaded = Load(monitor, entries, &duplicates);
        ASSERT_FALSE(loaded.IsError()) << loaded.AsString();
        const CRwError prepared = monitor.PrepareSelectQuery();
        ASSERT_FALSE(prepared.IsError()) << prepared.AsString();
        EXPECT_EQ(model.duplicates, duplicates);
        ExpectSameRows(model.rows, Drain(monitor));
    }

    std::string root, results, config;
    boost::shared_ptr<CapturingLog> log;

private:
    boost::shared_ptr<CLogWriterInterface> m_previousLog;
};

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
    std::vector<Entry> noRemoved;
    for (const Entry& e : arrayOrder)
        if (e.changeType != kRemoved) noRemoved.push_back(e);
    const struct {
        const char* name;
        const std::vector<Entry>& entries;
    } cases[] = {
        {"array order", arrayOrder},
        {"random order", shuffled},
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
        {"out of order", {{5, "/b", "file"}, {1, "/a", "file"}, {3, "/c", "file"}, {2, "/d", "file"}}},
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
        EXPECT_NE(std::string::npos, FXErrorUtil::MessageOf(result).find("No stored row with inode 4"))
            << result.AsString();
        EXPECT_TRUE(monitor.PrepareSelectQuery().IsError()) << "the failure is kept";
    }
}

TEST_F(EventMonitorTest, CreateFailsWhereNoFileCanBeMade) {
    WriteText(root + "/plain-file", "x");
    const struct {
        const char* name;
        std::string directory;
    } cases[] = {
        {"missing directory", root + "/missing/results"},
        {"a file in place of the directory", root + "/plain-file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSnapDiffEventMonitor monitor(c.directory, 3, 4);
        const CRwError created = monitor.Create();
        ASSERT_TRUE(created.IsError());
        EXPECT_EQ(1627u, FXErrorUtil::Win32CodeOf(created));
        EXPECT_NE(std::string::npos, FXErrorUtil::MessageOf(created).find(monitor.Path()))
            << created.AsString();
        bool duplicate = false;
        EXPECT_TRUE(monitor.InsertEvent(RowOf({1, "/a", "file"}), duplicate).IsError());
        EXPECT_TRUE(monitor.PrepareSelectQuery().IsError());
        _ChangeEventItem row;
        EXPECT_EQ(-1, monitor.GetNextEvent(row));
    }
}

TEST_F(EventMonitorTest, CreateStartsFromEmptyOverFilesOfAnEarlierRun) {
    const std::string victim = root + "/victim";
    WriteText(victim, "must stay");
    const struct {
        const char* name;
        bool symlinkToVictim;
    } cases[] = {{"garbage files", false}, {"a symbolic link", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSnapDiffEventMonitor monitor(results, 5, 6);
        const std::string path = monitor.Path();
        if (c.symlinkToVictim)
            ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
        else
            WriteText(path, "not a database at all");
        WriteText(path + "-journal", "stale journal");
        WriteText(path + "-wal", "stale wal");
        const CRwError created = monitor.Create();
        ASSERT_FALSE(created.IsError()) << created.AsString();
        EXPECT_FALSE(Exists(path + "-journal"));
        EXPECT_FALSE(Exists(path + "-wal"));
        ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
        EXPECT_TRUE(Drain(monitor).empty());
        std::ifstream in(victim);
        std::string text;
        std::getline(in, text);
        EXPECT_EQ("must stay", text);
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

TEST_F(EventMonitorTest, FileIsReadableByItsOwnerOnly) {
    const mode_t previous = umask(0);
    CSnapDiffEventMonitor monitor(results, 1, 2);
    const CRwError created = monitor.Create();
    umask(previous);
    ASSERT_FALSE(created.IsError());
    ASSERT_FALSE(Load(monitor, ArrayOrder(3000, 5)).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    struct stat info;
    ASSERT_EQ(0, stat(monitor.Path().c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(results), fs::directory_iterator()))
        << "no other file is left next to the database";
}

TEST_F(EventMonitorTest, FileIsRemovedAtDestructionUnlessKept) {
    const std::vector<Entry> entries = ArrayOrder(20000, 9);
    const long expectedRows = static_cast<long>(Expect(entries).rows.size());
    const struct {
        const char* name;
        const char* settings;  // nullptr: no settings file
        bool prepare;
        bool kept;
    } cases[] = {
        {"no settings file", nullptr, true, false},
        {"setting 0", "[~FileSystemAgent]\nbKeepSnapDiffDatabase=0\n", true, false},
        {"setting in another section", "[Other]\nbKeepSnapDiffDatabase=1\n", true, false},
        {"destroyed while loading", nullptr, false, false},
        {"setting 1", "[~FileSystemAgent]\nbKeepSnapDiffDatabase=1\n", true, true},
        {"setting 1, destroyed while loading", "[~FileSystemAgent]\nbKeepSnapDiffDatabase=1\n",
         false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(config + "/settings.ini");
        if (c.settings != nullptr) WriteText(config + "/settings.ini", c.settings);
        std::string path;
        {
            CSnapDiffEventMonitor monitor(results, 1, 2);
            path = monitor.Path();
            ASSERT_FALSE(monitor.Create().IsError());
            ASSERT_FALSE(Load(monitor, entries).IsError());
            if (c.prepare) {
                ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
            }
        }
        EXPECT_EQ(c.kept, Exists(path));
        if (c.kept) {
            EXPECT_EQ(expectedRows, CountRows(path)) << "everything loaded is in the kept file";
            fs::remove(path);
        }
        EXPECT_TRUE(fs::is_empty(results));
    }
}

TEST_F(EventMonitorTest, DatabaseLockedByAnotherProcessFailsTheLoad) {
    const struct {
        const char* name;
        size_t count;
    } cases[] = {{"few rows", 10}, {"many rows", 20000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        CRwError result;
        {
            OutsideLock lock(monitor.Path());
            result = Load(monitor, ArrayOrder(c.count, 4));
            if (!result.IsError()) result = monitor.PrepareSelectQuery();
        }
        ASSERT_TRUE(result.IsError());
        EXPECT_EQ(1627u, FXErrorUtil::Win32CodeOf(result));
        const std::string message = FXErrorUtil::MessageOf(result);
        EXPECT_NE(std::string::npos, message.find("locked")) << message;
        EXPECT_NE(std::string::npos, message.find(monitor.Path())) << message;
        // The lock is gone, but what was lost stays lost: every call fails.
        bool duplicate = false;
        EXPECT_TRUE(monitor.InsertEvent(RowOf({1, "/a", "file"}), duplicate).IsError());
        EXPECT_TRUE(monitor.PrepareSelectQuery().IsError());
        _ChangeEventItem row;
        EXPECT_EQ(-1, monitor.GetNextEvent(row));
    }
}

TEST_F(EventMonitorTest, ReadFailureReturnsMinusOneFromThenOn) {
    CSnapDiffEventMonitor monitor(results, 1, 2);
    ASSERT_FALSE(monitor.Create().IsError());
    ASSERT_FALSE(Load(monitor, ArrayOrder(100, 8)).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    _ChangeEventItem row;
    {
        OutsideLock lock(monitor.Path());
        EXPECT_EQ(-1, monitor.GetNextEvent(row));
    }
    EXPECT_EQ(-1, monitor.GetNextEvent(row)) << "no silent restart from the first row";
    EXPECT_EQ(2, log->CountAt(-1, monitor.Path()));
}

}  // namespace
