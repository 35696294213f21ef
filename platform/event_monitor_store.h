#pragma once

// The SQLite side of the change-event database: two tables of rows and one of
// renames, all keyed on the inode number, written through prepared statements
// inside batched transactions and read back together, merged in key order. Not
// thread-safe; the owner hands it from thread to thread with a proper
// happens-before (a join or a mutex).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Records.h"

struct sqlite3;
struct sqlite3_stmt;

namespace snaphost {

// One row to store, by reference to bytes that outlive the call.
struct EventFields {
    int64_t inode = 0;
    const char* path = "";
    size_t pathLength = 0;
    const char* changeType = "";
    size_t changeTypeLength = 0;
    const char* oldPath = "";
    size_t oldPathLength = 0;
    uint64_t changeTime = 0;
    uint64_t modifiedTime = 0;
    uint64_t accessTime = 0;
    int64_t size = 0;
    uint32_t isRename = 0;
    uint32_t extraNumber = 0;
};

EventFields FieldsOf(const _ChangeEventItem& row);

class EventStore {
public:
    EventStore() = default;
    ~EventStore();

    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    // The table a row goes to: that of the first ascending run of rows (and of
    // any row whose place was not known), or that of the rows after that run.
    // An inode must be in one of them at most; reading merges the two.
    enum Table { kEvents = 0, kLater = 1 };

    // Opens the existing, empty file at path and lays out the tables. On failure
    // error holds SQLite's message and the store is closed.
    bool Open(const std::string& path, std::string& error);

    // Stores the row in `table` unless a row with its inode is there; stored
    // tells which. The other table is not looked at.
    bool Insert(const EventFields& row, Table table, bool& stored, std::string& error);

    // Rows in one statement: the fixed costs of a statement (its cursor, its
    // seek from the root, its end) are paid once for them all.
    static constexpr size_t kGroupRows = 64;

    // Stores count rows in `table` (any count; full groups take one statement
    // each), none of whose inodes may be there; stored is how many were stored,
    // less than count when some were.
    bool InsertGroup(const EventFields* rows, size_t count, Table table, size_t& stored,
                     std::string& error);

    // Whether a row with that inode is stored, in `table` or in either.
    bool Contains(int64_t inode, Table table, bool& found, std::string& error);
    bool Contains(int64_t inode, bool& found, std::string& error);

    // Records oldPath as the old path of the stored row with that inode: it is
    // read back with that path as oldPath and isRename 1. The row must be
    // stored (or be stored later in the same load): a rename without its row
    // fails the reading.
    bool Rename(int64_t inode, const char* oldPath, size_t oldPathLength, std::string& error);

    // Ends the open write transaction, if any.
    bool Commit(std::string& error);

    // Opens the loaded database at path a second time, read-only, for reading
    // part of its rows beside the connection that loaded it.
    bool OpenForReading(const std::string& path, std::string& error);

    // Ends loading (the open transaction) and readies reading.
    bool StartReading(std::string& error);

    // The smallest and the largest inode of the three tables (a rename's too,
    // so that one without its row is read and found out); any is false when
    // they are empty.
    bool Bounds(int64_t& first, int64_t& last, bool& any, std::string& error);

    // Starts (or restarts) reading the rows with inodes from first to last,
    // both included, in ascending inode order.
    bool ReadRange(int64_t first, int64_t last, std::string& error);

    // 0: row filled, its texts valid until the next call, a recorded rename
    // joined in; 1: no rows left; -1: failure, error set.
    int NextFields(EventFields& row, std::string& error);

    const std::string& Path() const { return m_path; }

    void Close();

private:
    bool Connect(const std::string& path, int mode, const char* setup, std::string& error);
    bool Exec(const char* sql, std::string& error);
    bool Prepare(const char* sql, sqlite3_stmt** statement, std::string& error);
    bool BeginIfNeeded(std::string& error);
    bool CountWrite(std::string& error, uint32_t writes = 1);
    // What each row of a group statement has bound, of the values that
    // rarely change from row to row: they are bound again only when they
    // differ, from copies kept here (a text must stay put until the step).
    struct GroupSlot {
        bool bound = false;
        std::string changeType;
        std::string oldPath;
        uint32_t isRename = 0;
        uint32_t extraNumber = 0;
    };
    // The statements that write to one table of rows.
    struct Writing {
        sqlite3_stmt* insert = nullptr;
        sqlite3_stmt* insertGroup = nullptr;
        sqlite3_stmt* contains = nullptr;
        std::vector<GroupSlot> slots;  // of insertGroup
        uint64_t rows = 0;             // stored through this connection
    };
    // One of the tables read in inode order: whether its next row is to be
    // stepped to, is waiting to be handed out, or none is left.
    enum class Head { kStepNext, kAhead, kNone };
    struct Stream {
        sqlite3_stmt* select = nullptr;
        Head head = Head::kNone;
        int64_t inode = 0;  // of the row waiting
    };

    void Bind(sqlite3_stmt* statement, int first, const EventFields& row);
    void BindGroupRow(Writing& writing, size_t slot, const EventFields& row);
    bool Advance(Stream& stream, std::string& error);
    std::string Describe(const char* what) const;

    sqlite3* m_db = nullptr;
    Writing m_writing[2];  // by Table
    sqlite3_stmt* m_rename = nullptr;
    Stream m_reading[2];  // by Table
    Stream m_renames;
    sqlite3_stmt* m_bounds = nullptr;
    std::string m_path;
    bool m_inTransaction = false;
    uint32_t m_writesInTransaction = 0;
};

}  // namespace snaphost
