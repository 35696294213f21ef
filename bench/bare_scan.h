#pragma once

// The baseline of delivery in the benchmarks of the change-event database: a
// bare scan of the database file on a connection of its own, with the page
// cache the database gives its own connections. It steps through every table
// of the file, each in its own order, and touches every column, copying
// nothing: the same rows and renames that delivery merges, without the merge.

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/support/bench_support.h"

namespace bench {

// Rows/s of the scan (the renames read but not counted); count is the rows of
// both tables of rows, 0 when none could be read.
inline double BareScan(const std::string& path, uint64_t& count) {
    sqlite3* db = nullptr;
    count = 0;
    // No connection mutex, as the database itself opens its file: the scan is
    // the fastest reading of these rows this library offers.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        return 0;
    }
    sqlite3_exec(db, "PRAGMA cache_size=-2048", nullptr, nullptr, nullptr);
    const char* const scans[] = {
        "SELECT inode, path, changeTime, modifiedTime, accessTime, changeType, size, oldPath,"
        " isRename, extraNumber FROM events ORDER BY inode",
        "SELECT inode, path, changeTime, modifiedTime, accessTime, changeType, size, oldPath,"
        " isRename, extraNumber FROM later ORDER BY inode",
        "SELECT inode, oldPath FROM renames ORDER BY inode",
    };
    uint64_t sum = 0;
    bool failed = false;
    const double start = Now();
    for (const char* sql : scans) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) failed = true;
        const bool rows = sqlite3_column_count(statement) > 2;
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            if (rows) {
                for (int column : {0, 2, 3, 4, 6, 8, 9})
                    sum += static_cast<uint64_t>(sqlite3_column_int64(statement, column));
                for (int column : {1, 5, 7}) {
                    sqlite3_column_text(statement, column);
                    sum += static_cast<uint64_t>(sqlite3_column_bytes(statement, column));
                }
                ++count;
            } else {
                sum += static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
                sqlite3_column_text(statement, 1);
                sum += static_cast<uint64_t>(sqlite3_column_bytes(statement, 1));
            }
        }
        sqlite3_finalize(statement);
    }
    const double seconds = Now() - start;
    sqlite3_close_v2(db);
    if (sum == 42) fputc(' ', stderr);
    if (failed) count = 0;
    return count == 0 ? 0 : static_cast<double>(count) / seconds;
}

}  // namespace bench
