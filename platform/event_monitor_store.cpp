// The change-event tables in SQLite. The inode number is each table's own key
// (INTEGER PRIMARY KEY, the rowid), so one B-tree answers "is this inode
// stored?", holds the row and hands the rows back in inode order without a
// separate index or a sort. Rows arriving in ascending order are appended at
// the right edge of that tree. They are stored many to a statement: the fixed
// costs of a statement (its cursor, its seek from the root, its end) otherwise
// weigh more than the row itself.
//
// What comes after the first ascending run is kept apart from it: the rows
// that run did not hold go to a second table of rows ("later"), and the old
// paths of renames to a third ("renames"), all keyed the same way; reading
// merges the three in inode order. Both arrive long after the rows around them
// were stored. Added to the first run's table, a row came into a leaf that the
// appends had filled, and a rename made a stored row longer there: SQLite then
// split the leaf, copying 64 KiB pages and allocating scratch space each time.
// That was a quarter of the writer's CPU for a changelist with 4 % renames and
// 1 % rows removed for good. Apart, each table grows at its right edge only.
// The view "changes" shows a kept database as it is read.
#include "platform/event_monitor_store.h"

#include <sqlite3.h>

#include <cstring>

namespace snaphost {

namespace {

// The file is rebuilt from empty by every run and removed afterwards, so there
// is nothing to roll back to: no journal, no syncs. Whatever SQLite needs as
// temporary storage goes to files, not to memory. Large pages: rows are appended
// at the right edge of one tree, and fewer, larger pages cost SQLite less per row
// (about a tenth of the load's CPU measured against 4 KiB pages). The columns
// other than the key have no declared type and no constraint: every value is
// bound with its own type and never NULL, and SQLite then stores it as it comes
// instead of checking and converting each of them once more per row.
constexpr const char* kSetup =
    "PRAGMA page_size=65536;"
    "PRAGMA journal_mode=OFF;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA temp_store=FILE;"
    "CREATE TABLE events("
    " inode INTEGER PRIMARY KEY,"
    " path, changeTime, modifiedTime, accessTime, changeType, size, oldPath, isRename,"
    " extraNumber);"
    "CREATE TABLE later("
    " inode INTEGER PRIMARY KEY,"
    " path, changeTime, modifiedTime, accessTime, changeType, size, oldPath, isRename,"
    " extraNumber);"
    "CREATE TABLE renames(inode INTEGER PRIMARY KEY, oldPath);"
    "CREATE VIEW changes AS SELECT e.inode, e.path, e.changeTime, e.modifiedTime, e.accessTime,"
    " e.changeType, e.size, coalesce(r.oldPath, e.oldPath) AS oldPath,"
    " CASE WHEN r.inode IS NULL THEN e.isRename ELSE 1 END AS isRename, e.extraNumber"
    " FROM (SELECT * FROM events UNION ALL SELECT * FROM later) AS e"
    " LEFT JOIN renames AS r ON r.inode = e.inode;";

// The two tables of rows, by EventStore::Table.
constexpr const char* kTableNames[] = {"events", "later"};

constexpr const char* kInsertColumnNames =
    "(inode, path, changeTime, modifiedTime, accessTime, changeType, size, oldPath, isRename,"
    " extraNumber) VALUES";
constexpr const char* kInsertValues = "(?,?,?,?,?,?,?,?,?,?)";
constexpr int kInsertColumns = 10;
// A later rename of the same inode replaces the earlier one, as it would in the row.
constexpr const char* kRename = "INSERT OR REPLACE INTO renames(inode, oldPath) VALUES(?1, ?2)";
constexpr const char* kSelectColumns =
    "SELECT inode, path, changeTime, modifiedTime, accessTime, changeType, size, oldPath,"
    " isRename, extraNumber FROM ";
constexpr const char* kSelectRenames =
    "SELECT inode, oldPath FROM renames WHERE inode BETWEEN ?1 AND ?2 ORDER BY inode";
// Each of min() and max() alone is one step down a tree; the two together in
// one SELECT would make SQLite scan the whole table. The renames count too: one
// outside the range of the rows would otherwise never be read, and never be
// found to have no row.
constexpr const char* kBounds =
    "SELECT min(coalesce(a, b, c), coalesce(b, c, a), coalesce(c, a, b)),"
    " max(coalesce(d, e, f), coalesce(e, f, d), coalesce(f, d, e)) FROM"
    " (SELECT (SELECT min(inode) FROM events) AS a, (SELECT min(inode) FROM later) AS b,"
    " (SELECT min(inode) FROM renames) AS c, (SELECT max(inode) FROM events) AS d,"
    " (SELECT max(inode) FROM later) AS e, (SELECT max(inode) FROM renames) AS f)";
// The page cache of every connection, small and bounded, so that memory stays
// flat however many rows arrive: the load works along the tree's right edge and
// the reading goes through the tree in order, so few pages are ever needed
// twice. A larger cache costs more than it saves, since every run touches its
// memory anew (16 MiB took about a sixth more CPU per row to load than 2 MiB).
constexpr const char* kCacheSetup = "PRAGMA cache_size=-2048;";

// Large enough that transaction ends are rare. A transaction's dirty pages
// beyond the cache are written as it fills: 10,000, 100,000 and 1,000,000 rows
// a transaction cost the same.
constexpr uint32_t kWritesPerTransaction = 100000;

// The insert statement of `rows` rows into `table`.
std::string InsertSql(const char* table, size_t rows) {
    std::string sql = std::string("INSERT OR IGNORE INTO ") + table + kInsertColumnNames;
    for (size_t i = 0; i < rows; ++i) {
        if (i > 0) sql += ',';
        sql += kInsertValues;
    }
    return sql;
}

std::string SelectSql(const char* table) {
    return std::string(kSelectColumns) + table + " WHERE inode BETWEEN ?1 AND ?2 ORDER BY inode";
}

std::string ContainsSql(const char* table) {
    return std::string("SELECT 1 FROM ") + table + " WHERE inode = ?1";
}

// A text column, valid until the next step; NULL and empty both read as "".
const char* TextOf(sqlite3_stmt* statement, int column, size_t& length) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    const int bytes = sqlite3_column_bytes(statement, column);
    length = text == nullptr || bytes <= 0 ? 0 : static_cast<size_t>(bytes);
    return length == 0 ? "" : reinterpret_cast<const char*>(text);
}

}  // namespace

EventFields FieldsOf(const _ChangeEventItem& row) {
    EventFields fields;
    fields.inode = row.inode;
    fields.path = row.path.data();
    fields.pathLength = row.path.size();
    fields.changeType = row.changeType.data();
    fields.changeTypeLength = row.changeType.size();
    fields.oldPath = row.oldPath.data();
    fields.oldPathLength = row.oldPath.size();
    fields.changeTime = row.changeTime;
    fields.modifiedTime = row.modifiedTime;
    fields.accessTime = row.accessTime;
    fields.size = row.size;
    fields.isRename = row.isRename;
    fields.extraNumber = row.extraNumber;
    return fields;
}

EventStore::~EventStore() { Close(); }

std::string EventStore::Describe(const char* what) const {
    std::string text = "SQLite error while ";
    text += what;
    text += ": ";
    text += m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    if (m_db != nullptr) {
        text += " (";
        text += std::to_string(sqlite3_extended_errcode(m_db));
        text += ")";
    }
    text += " [";
    text += m_path;
    text += "]";
    return text;
}

bool EventStore::Exec(const char* sql, std::string& error) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    error = Describe(sql);
    return false;
}

bool EventStore::Prepare(const char* sql, sqlite3_stmt** statement, std::string& error) {
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
        SQLITE_OK)
        return true;
    error = Describe("preparing a statement");
    return false;
}

// A connection to path: `setup` first, then the page cache of every
// connection. In that order: SQLite turns a cache size in KiB into pages by the
// page size of the moment and keeps that count when `setup` changes the page
// size (2 MiB of 4 KiB pages became 32 MiB of 64 KiB pages). The owner
// serialises every use, so SQLite's own connection mutex is not needed.
bool EventStore::Connect(const std::string& path, int mode, const char* setup, std::string& error) {
    Close();
    m_path = path;
    if (sqlite3_open_v2(path.c_str(), &m_db, mode | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        error = Describe("opening the database");
        Close();
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    if (Exec(setup, error) && Exec(kCacheSetup, error)) return true;
    Close();
    return false;
}

bool EventStore::Open(const std::string& path, std::string& error) {
    if (!Connect(path, SQLITE_OPEN_READWRITE, kSetup, error)) return false;
    for (const Table table : {kEvents, kLater}) {
        Writing& w = m_writing[table];
        w.slots.assign(kGroupRows, GroupSlot());
        const char* name = kTableNames[table];
        if (!Prepare(InsertSql(name, 1).c_str(), &w.insert, error) ||
            !Prepare(InsertSql(name, kGroupRows).c_str(), &w.insertGroup, error) ||
            !Prepare(ContainsSql(name).c_str(), &w.contains, error)) {
            Close();
            return false;
        }
    }
    if (!Prepare(kRename, &m_rename, error)) {
        Close();
        return false;
    }
    return true;
}

bool EventStore::BeginIfNeeded(std::string& error) {
    if (m_inTransaction) return true;
    if (!Exec("BEGIN", error)) return false;
    m_inTransaction = true;
    m_writesInTransaction = 0;
    return true;
}

bool EventStore::CountWrite(std::string& error, uint32_t writes) {
    m_writesInTransaction += writes;
    if (m_writesInTransaction < kWritesPerTransaction) return true;
    return Commit(error);
}

// SQLITE_STATIC: the bytes stay put until the step that follows is done with them.
void EventStore::Bind(sqlite3_stmt* s, int first, const EventFields& row) {
    sqlite3_bind_int64(s, first, row.inode);
    sqlite3_bind_text64(s, first + 1, row.path, row.pathLength, SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_int64(s, first + 2, static_cast<sqlite3_int64>(row.changeTime));
    sqlite3_bind_int64(s, first + 3, static_cast<sqlite3_int64>(row.modifiedTime));
    sqlite3_bind_int64(s, first + 4, static_cast<sqlite3_int64>(row.accessTime));
    sqlite3_bind_text64(s, first + 5, row.changeType, row.changeTypeLength, SQLITE_STATIC,
                        SQLITE_UTF8);
    sqlite3_bind_int64(s, first + 6, row.size);
    sqlite3_bind_text64(s, first + 7, row.oldPath, row.oldPathLength, SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_int64(s, first + 8, row.isRename);
    sqlite3_bind_int64(s, first + 9, row.extraNumber);
}

// A binding stays with the statement across its resets. Of a group row's ten
// values, the change type, the old path and the two flags are nearly always the
// same as those bound in that row's place one statement earlier; binding only
// what changed saves about an eighth of the load's CPU.
void EventStore::BindGroupRow(Writing& w, size_t slot, const EventFields& row) {
    sqlite3_stmt* s = w.insertGroup;
    GroupSlot& bound = w.slots[slot];
    const int first = static_cast<int>(slot) * kInsertColumns + 1;
    sqlite3_bind_int64(s, first, row.inode);
    sqlite3_bind_text64(s, first + 1, row.path, row.pathLength, SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_int64(s, first + 2, static_cast<sqlite3_int64>(row.changeTime));
    sqlite3_bind_int64(s, first + 3, static_cast<sqlite3_int64>(row.modifiedTime));
    sqlite3_bind_int64(s, first + 4, static_cast<sqlite3_int64>(row.accessTime));
    sqlite3_bind_int64(s, first + 6, row.size);
    const auto same = [](const std::string& kept, const char* text, size_t length) {
        return kept.size() == length && (length == 0 || memcmp(kept.data(), text, length) == 0);
    };
    if (!bound.bound || !same(bound.changeType, row.changeType, row.changeTypeLength)) {
        bound.changeType.assign(row.changeType, row.changeTypeLength);
        sqlite3_bind_text64(s, first + 5, bound.changeType.data(), bound.changeType.size(),
                            SQLITE_STATIC, SQLITE_UTF8);
    }
    if (!bound.bound || !same(bound.oldPath, row.oldPath, row.oldPathLength)) {
        bound.oldPath.assign(row.oldPath, row.oldPathLength);
        sqlite3_bind_text64(s, first + 7, bound.oldPath.data(), bound.oldPath.size(), SQLITE_STATIC,
                            SQLITE_UTF8);
    }
    if (!bound.bound || bound.isRename != row.isRename) {
        bound.isRename = row.isRename;
        sqlite3_bind_int64(s, first + 8, row.isRename);
    }
    if (!bound.bound || bound.extraNumber != row.extraNumber) {
        bound.extraNumber = row.extraNumber;
        sqlite3_bind_int64(s, first + 9, row.extraNumber);
    }
    bound.bound = true;
}

bool EventStore::Insert(const EventFields& row, Table table, bool& stored, std::string& error) {
    stored = false;
    sqlite3_stmt* s = m_writing[table].insert;
    if (s == nullptr) {
        error = "The event database is not open [" + m_path + "]";
        return false;
    }
    if (!BeginIfNeeded(error)) return false;
    Bind(s, 1, row);
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) {
        error = Describe("storing a row");
        sqlite3_reset(s);
        return false;
    }
    stored = sqlite3_changes(m_db) > 0;
    sqlite3_reset(s);
    if (stored) ++m_writing[table].rows;
    return CountWrite(error);
}

bool EventStore::InsertGroup(const EventFields* rows, size_t count, Table table, size_t& stored,
                             std::string& error) {
    stored = 0;
    Writing& w = m_writing[table];
    if (w.insertGroup == nullptr) {
        error = "The event database is not open [" + m_path + "]";
        return false;
    }
    for (; count >= kGroupRows; count -= kGroupRows, rows += kGroupRows) {
        if (!BeginIfNeeded(error)) return false;
        sqlite3_stmt* s = w.insertGroup;
        for (size_t i = 0; i < kGroupRows; ++i) BindGroupRow(w, i, rows[i]);
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_DONE) {
            error = Describe("storing rows");
            sqlite3_reset(s);
            return false;
        }
        const size_t changed = static_cast<size_t>(sqlite3_changes(m_db));
        stored += changed;
        w.rows += changed;
        sqlite3_reset(s);
        if (!CountWrite(error, kGroupRows)) return false;
    }
    for (size_t i = 0; i < count; ++i) {
        bool one = false;
        if (!Insert(rows[i], table, one, error)) return false;
        if (one) ++stored;
    }
    return true;
}

bool EventStore::Contains(int64_t inode, Table table, bool& found, std::string& error) {
    found = false;
    Writing& w = m_writing[table];
    if (w.contains == nullptr) {
        error = "The event database is not open [" + m_path + "]";
        return false;
    }
    if (w.rows == 0) return true;
    if (!BeginIfNeeded(error)) return false;
    sqlite3_bind_int64(w.contains, 1, inode);
    const int rc = sqlite3_step(w.contains);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        error = Describe("looking up a row");
        sqlite3_reset(w.contains);
        return false;
    }
    sqlite3_reset(w.contains);
    found = rc == SQLITE_ROW;
    return true;
}

bool EventStore::Contains(int64_t inode, bool& found, std::string& error) {
    return Contains(inode, kEvents, found, error) &&
           (found || Contains(inode, kLater, found, error));
}

bool EventStore::Rename(int64_t inode, const char* oldPath, size_t oldPathLength,
                        std::string& error) {
    if (m_rename == nullptr) {
        error = "The event database is not open [" + m_path + "]";
        return false;
    }
    if (!BeginIfNeeded(error)) return false;
    sqlite3_bind_int64(m_rename, 1, inode);
    sqlite3_bind_text64(m_rename, 2, oldPath, oldPathLength, SQLITE_STATIC, SQLITE_UTF8);
    const int rc = sqlite3_step(m_rename);
    if (rc != SQLITE_DONE) {
        error = Describe("recording a rename");
        sqlite3_reset(m_rename);
        return false;
    }
    sqlite3_reset(m_rename);
    return CountWrite(error);
}

bool EventStore::Commit(std::string& error) {
    if (!m_inTransaction) return true;
    if (!Exec("COMMIT", error)) return false;
    m_inTransaction = false;
    return true;
}

bool EventStore::OpenForReading(const std::string& path, std::string& error) {
    if (!Connect(path, SQLITE_OPEN_READONLY, "", error)) return false;
    if (StartReading(error)) return true;
    Close();
    return false;
}

bool EventStore::StartReading(std::string& error) {
    if (m_db == nullptr) {
        error = "The event database is not open [" + m_path + "]";
        return false;
    }
    if (!Commit(error)) return false;
    for (const Table table : {kEvents, kLater}) {
        if (m_reading[table].select == nullptr &&
            !Prepare(SelectSql(kTableNames[table]).c_str(), &m_reading[table].select, error))
            return false;
    }
    if (m_renames.select == nullptr && !Prepare(kSelectRenames, &m_renames.select, error))
        return false;
    if (m_bounds == nullptr && !Prepare(kBounds, &m_bounds, error)) return false;
    for (Stream* stream : {&m_reading[kEvents], &m_reading[kLater], &m_renames}) {
        sqlite3_reset(stream->select);
        stream->head = Head::kNone;
    }
    return true;
}

bool EventStore::Bounds(int64_t& first, int64_t& last, bool& any, std::string& error) {
    any = false;
    if (m_bounds == nullptr) {
        error = "The event database is not ready for reading [" + m_path + "]";
        return false;
    }
    sqlite3_reset(m_bounds);
    const int rc = sqlite3_step(m_bounds);
    if (rc != SQLITE_ROW) {
        error = Describe("reading the range of inodes");
        sqlite3_reset(m_bounds);
        return false;
    }
    any = sqlite3_column_type(m_bounds, 0) != SQLITE_NULL;
    first = sqlite3_column_int64(m_bounds, 0);
    last = sqlite3_column_int64(m_bounds, 1);
    sqlite3_reset(m_bounds);
    return true;
}

bool EventStore::ReadRange(int64_t first, int64_t last, std::string& error) {
    if (m_renames.select == nullptr) {
        error = "The event database is not ready for reading [" + m_path + "]";
        return false;
    }
    for (Stream* stream : {&m_reading[kEvents], &m_reading[kLater], &m_renames}) {
        sqlite3_reset(stream->select);
        sqlite3_bind_int64(stream->select, 1, first);
        sqlite3_bind_int64(stream->select, 2, last);
        stream->head = Head::kStepNext;
    }
    return true;
}

// A stream is stepped only once the row it handed out last is done with: that
// row's texts stay valid until the next NextFields, whichever stream it came from.
bool EventStore::Advance(Stream& stream, std::string& error) {
    if (stream.head != Head::kStepNext) return true;
    const int rc = sqlite3_step(stream.select);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        error = Describe("reading a row");
        return false;
    }
    stream.head = rc == SQLITE_ROW ? Head::kAhead : Head::kNone;
    if (rc == SQLITE_ROW) stream.inode = sqlite3_column_int64(stream.select, 0);
    return true;
}

int EventStore::NextFields(EventFields& row, std::string& error) {
    if (m_renames.select == nullptr) {
        error = "The event database is not ready for reading [" + m_path + "]";
        return -1;
    }
    if (!Advance(m_reading[kEvents], error) || !Advance(m_reading[kLater], error) ||
        !Advance(m_renames, error))
        return -1;
    const bool events = m_reading[kEvents].head == Head::kAhead;
    const bool later = m_reading[kLater].head == Head::kAhead;
    const bool renamed = m_renames.head == Head::kAhead;
    if (events && later && m_reading[kEvents].inode == m_reading[kLater].inode) {
        error = "The event database holds two rows of inode " +
                std::to_string(m_reading[kEvents].inode) + " [" + m_path + "]";
        return -1;
    }
    // The next row is the smaller of the two waiting. Every rename names a
    // stored row: one smaller than the next row, or left at the end, names none.
    Stream* from = nullptr;
    if (events || later)
        from = !later || (events && m_reading[kEvents].inode < m_reading[kLater].inode)
                   ? &m_reading[kEvents]
                   : &m_reading[kLater];
    if (renamed && (from == nullptr || m_renames.inode < from->inode)) {
        error = "The event database holds a rename of inode " + std::to_string(m_renames.inode) +
                " but no row of it [" + m_path + "]";
        return -1;
    }
    if (from == nullptr) return 1;
    sqlite3_stmt* s = from->select;
    from->head = Head::kStepNext;
    row.inode = from->inode;
    row.path = TextOf(s, 1, row.pathLength);
    row.changeTime = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
    row.modifiedTime = static_cast<uint64_t>(sqlite3_column_int64(s, 3));
    row.accessTime = static_cast<uint64_t>(sqlite3_column_int64(s, 4));
    row.changeType = TextOf(s, 5, row.changeTypeLength);
    row.size = sqlite3_column_int64(s, 6);
    row.oldPath = TextOf(s, 7, row.oldPathLength);
    row.isRename = static_cast<uint32_t>(sqlite3_column_int64(s, 8));
    row.extraNumber = static_cast<uint32_t>(sqlite3_column_int64(s, 9));
    if (renamed && m_renames.inode == row.inode) {
        row.oldPath = TextOf(m_renames.select, 1, row.oldPathLength);
        row.isRename = 1;
        m_renames.head = Head::kStepNext;
    }
    return 0;
}

void EventStore::Close() {
    for (Writing& w : m_writing) {
        sqlite3_finalize(w.insert);
        sqlite3_finalize(w.insertGroup);
        sqlite3_finalize(w.contains);
        w = Writing();
    }
    for (Stream* stream : {&m_reading[kEvents], &m_reading[kLater], &m_renames}) {
        sqlite3_finalize(stream->select);
        *stream = Stream();
    }
    sqlite3_finalize(m_rename);
    sqlite3_finalize(m_bounds);
    m_rename = m_bounds = nullptr;
    if (m_db != nullptr) {
        // Rows of an unfinished transaction are kept: a kept database shows
        // everything that was loaded.
        if (m_inTransaction) sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    m_inTransaction = false;
    m_writesInTransaction = 0;
}

}  // namespace snaphost
