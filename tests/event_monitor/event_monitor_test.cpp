// The SQLite change-event database beyond its contract: the life of the file
// (mode, stale files, removal, the keep setting) and failures from the file
// system and from SQLite.
#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <random>

#include "tests/event_monitor/event_monitor_model.h"

namespace event_monitor_test {
namespace {

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
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM changes", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return count;
}

// A kept database is read by hand: its view "changes" must show each row's old
// path and rename flag as GetNextEvent hands them out, wherever they are kept.
void ExpectRenamesInView(const std::string& path, const std::vector<_ChangeEventItem>& expected) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "SELECT inode, oldPath, isRename FROM changes ORDER BY inode",
                                 -1, &statement, nullptr))
        << sqlite3_errmsg(db);
    size_t i = 0, renamed = 0;
    for (; sqlite3_step(statement) == SQLITE_ROW && i < expected.size(); ++i) {
        SCOPED_TRACE("inode " + std::to_string(expected[i].inode));
        ASSERT_EQ(expected[i].inode, sqlite3_column_int64(statement, 0));
        const unsigned char* oldPath = sqlite3_column_text(statement, 1);
        EXPECT_EQ(expected[i].oldPath,
                  oldPath == nullptr ? "" : reinterpret_cast<const char*>(oldPath));
        EXPECT_EQ(expected[i].isRename, static_cast<uint32_t>(sqlite3_column_int64(statement, 2)));
        if (expected[i].isRename != 0) ++renamed;
    }
    EXPECT_EQ(expected.size(), i);
    EXPECT_GT(renamed, 100u) << "the entries name renames";
    sqlite3_finalize(statement);
    sqlite3_close_v2(db);
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
            if (c.prepare) ExpectRenamesInView(path, Expect(entries).rows);
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
        const std::vector<Entry> entries = ArrayOrder(c.count, 4);
        CRwError result;
        size_t failedAt = entries.size();
        {
            OutsideLock lock(monitor.Path());
            for (size_t i = 0; i < entries.size() && failedAt == entries.size(); ++i) {
                bool duplicate = false;
                result = monitor.InsertEvent(RowOf(entries[i]), duplicate);
                if (result.IsError()) failedAt = i;
            }
        }
        // Reported by the insert that met the lock, not after every entry was
        // taken as received.
        EXPECT_EQ(failedAt, 0u);
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
    // Few rows are read by one thread, many by two on connections of their own.
    for (const size_t count : {size_t{100}, size_t{20000}}) {
        SCOPED_TRACE(std::to_string(count) + " entries");
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        ASSERT_FALSE(Load(monitor, ArrayOrder(count, 8)).IsError());
        ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
        const int logged = log->CountAt(-1, monitor.Path());
        _ChangeEventItem row;
        {
            OutsideLock lock(monitor.Path());
            EXPECT_EQ(-1, monitor.GetNextEvent(row));
        }
        EXPECT_EQ(-1, monitor.GetNextEvent(row)) << "no silent restart from the first row";
        EXPECT_EQ(logged + 2, log->CountAt(-1, monitor.Path()));
    }
}

// A large database is read in chunks of its range of inodes, by two threads in
// turn. However the inodes lie, the rows must come back whole and in order:
// crowded into a corner of a wide range (chunks empty, one chunk of many
// batches), spread over every value of 64 bits, or exactly on chunk edges.
TEST_F(EventMonitorTest, ChunkedReadingKeepsEveryRowInOrder) {
    const auto entriesAt = [](const std::vector<int64_t>& inodes) {
        std::vector<Entry> entries;
        for (const int64_t inode : inodes)
            entries.push_back({inode, "/share/n" + std::to_string(inode), "file"});
        return entries;
    };
    std::vector<int64_t> crowded;
    for (int64_t i = 1; i <= 39000; ++i) crowded.push_back(i);
    for (int64_t i = 1; i <= 1000; ++i) crowded.push_back(i * 1000000000000000LL);
    std::vector<int64_t> everyValue;
    // 12,000 steps of a 6,000th of the largest value: from the smallest value to
    // near the largest, in unsigned arithmetic, which wraps where signed would not.
    constexpr uint64_t kStep = std::numeric_limits<int64_t>::max() / 6000;
    for (uint64_t i = 0; i < 12000; ++i)
        everyValue.push_back(static_cast<int64_t>(
            static_cast<uint64_t>(std::numeric_limits<int64_t>::min()) + i * kStep));
    everyValue.push_back(std::numeric_limits<int64_t>::max());
    std::vector<int64_t> edges;
    for (int64_t i = 0; i < 4 * 4096; ++i) edges.push_back(i);
    std::vector<int64_t> shuffledCrowd = crowded;
    std::shuffle(shuffledCrowd.begin(), shuffledCrowd.end(), std::mt19937_64(5));
    const struct {
        const char* name;
        std::vector<Entry> entries;
    } cases[] = {
        {"crowded into a corner", entriesAt(crowded)},
        {"over every value of 64 bits", entriesAt(everyValue)},
        {"on the edges of chunks", entriesAt(edges)},
        {"crowded, loaded out of order", entriesAt(shuffledCrowd)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckAgainstModel(c.entries);
    }
}

// Rows of the first ascending run, rows after it and the old paths of renames
// are kept in three tables and merged when read. A rename that names no row,
// or an inode with a row in two tables, can only come from a damaged file; it
// must fail the reading, not be dropped or handed out twice, wherever it lies
// against the other rows and however many threads read them.
TEST_F(EventMonitorTest, DamagedTablesFailTheReading) {
    const struct {
        const char* name;
        size_t count;
        const char* table;  // where a row is added (the rows have inodes 2, 4, 6, ...)
        int64_t inode;
        const char* message;
    } cases[] = {
        {"few rows, rename between two", 10, "renames", 7, "holds a rename of inode 7 but no row"},
        {"few rows, rename before the first", 10, "renames", 1,
         "holds a rename of inode 1 but no row"},
        {"few rows, rename after the last", 10, "renames", 99,
         "holds a rename of inode 99 but no row"},
        {"many rows, rename between two", 20000, "renames", 20001,
         "holds a rename of inode 20001 but no row"},
        {"many rows, rename before the first", 20000, "renames", -5,
         "holds a rename of inode -5 but no row"},
        {"many rows, rename after the last", 20000, "renames", 1000000,
         "holds a rename of inode 1000000 but no row"},
        {"few rows, a row in both tables", 10, "later", 6, "holds two rows of inode 6"},
        {"many rows, a row in both tables", 20000, "later", 30000, "holds two rows of inode 30000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Entry> entries;
        for (size_t i = 1; i <= c.count; ++i) {
            const int64_t inode = static_cast<int64_t>(2 * i);
            entries.push_back({inode, "/share/f" + std::to_string(i), "file"});
        }
        // A rename and a row after the first run, each where it belongs.
        entries.push_back({4, "/share/old4", kRemoved});
        entries.push_back({5, "/share/gone5", kRemoved});
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        ASSERT_FALSE(Load(monitor, entries).IsError());
        ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
        {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK,
                      sqlite3_open_v2(monitor.Path().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
            const std::string sql = std::string("INSERT INTO ") + c.table +
                                    "(inode, oldPath) VALUES(" + std::to_string(c.inode) +
                                    ", '/share/damage')";
            EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
                << sqlite3_errmsg(db);
            sqlite3_close_v2(db);
        }
        _ChangeEventItem row;
        int result = 0;
        size_t read = 0;
        while ((result = monitor.GetNextEvent(row)) == 0) {
            ++read;
            if (row.inode == 4) {
                EXPECT_EQ("/share/old4", row.oldPath);
            }
            if (row.inode == 5) {
                EXPECT_EQ("/share/gone5", row.path);
            }
        }
        EXPECT_EQ(-1, result) << "after " << read << " rows";
        EXPECT_EQ(-1, monitor.GetNextEvent(row));
        EXPECT_EQ(1, log->CountAt(-1, c.message));
    }
}

// The page cache is what bounds the memory of a load of any size. SQLite keeps
// a cache size as a count of pages when the page size changes after it was
// set; sized in the wrong order, 2 MiB of small pages became 32 MiB of large
// ones. A load of some 30 MB of rows, and its reading, must stay near 2 MiB.
TEST_F(EventMonitorTest, PageCacheStaysSmallWhateverTheLoad) {
    const std::vector<Entry> entries = ArrayOrder(400000, 3);
    CSnapDiffEventMonitor monitor(results, 1, 2);
    ASSERT_FALSE(monitor.Create().IsError());
    sqlite3_int64 before = 0, highest = 0;
    ASSERT_EQ(SQLITE_OK, sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &before, &highest, 1));
    ASSERT_FALSE(Load(monitor, entries).IsError());
    ASSERT_FALSE(monitor.PrepareSelectQuery().IsError());
    sqlite3_int64 now = 0;
    ASSERT_EQ(SQLITE_OK, sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &now, &highest, 1));
    EXPECT_LT(highest - before, 8 << 20) << "SQLite's memory while loading";
    _ChangeEventItem row;
    size_t read = 0;
    while (monitor.GetNextEvent(row) == 0) ++read;
    EXPECT_GT(read, entries.size() / 2);
    ASSERT_EQ(SQLITE_OK, sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &now, &highest, 1));
    EXPECT_LT(highest - before, 12 << 20) << "SQLite's memory while reading on two connections";
}

}  // namespace
}  // namespace event_monitor_test
