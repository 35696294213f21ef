#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/CRwError.h"
#include "common/Records.h"
#include "host/SnapHostExport.h"

// The change-event database of one snapshot pair: a file under the job results
// directory, rebuilt from empty by Create(). It keeps one row per inode number,
// reports later rows of a stored inode as duplicates, and joins the two halves of
// a rename. Memory stays bounded whatever the number of rows.
//
// The file is <jobResultsDir>/snapdiff_<baseId>_<incrId>.db (mode 0600). Loading
// is fastest when rows arrive as the array lists them: ascending inode numbers,
// then the removed entries, again ascending; any other order is handled too, at
// the speed of a database lookup per row. Loading may continue on a thread of the
// object's own, so a failure of an earlier row can be reported by a later call
// (InsertEvent, UpdateRenameEvent or PrepareSelectQuery): the next call after
// the failure happened. A database that cannot be written at all fails the first
// InsertEvent. After any failure every later call fails the same way.
class SNAPHOST_API CSnapDiffEventMonitor {
public:
    CSnapDiffEventMonitor(const std::string& jobResultsDir, uint64_t baseId, uint64_t incrId);
    // Closes and removes the database file (kept when the setting
    // "bKeepSnapDiffDatabase" of "~FileSystemAgent" is set, for diagnosis).
    virtual ~CSnapDiffEventMonitor();

    CSnapDiffEventMonitor(const CSnapDiffEventMonitor&) = delete;
    CSnapDiffEventMonitor& operator=(const CSnapDiffEventMonitor&) = delete;

    // An empty database ready for inserts, even when a file of an interrupted run
    // is there. The file is created readable by its owner only.
    CRwError Create();

    // Stores the row; when a row with the same inode is stored already, sets
    // duplicate to true and stores nothing.
    CRwError InsertEvent(const _ChangeEventItem& row, bool& duplicate);

    // Sets oldPath of the stored row with row.inode to row.path and its isRename to 1.
    // Fails when no row with that inode is stored.
    CRwError UpdateRenameEvent(const _ChangeEventItem& row);

    // Ends loading; rows are then handed out by GetNextEvent. InsertEvent and
    // UpdateRenameEvent fail from then on. Called again, reading restarts at
    // the first row.
    CRwError PrepareSelectQuery();

    // Rows come in ascending order of inode (signed), each once.
    // 0: row holds the next stored row (every field set). 1: no rows left, and on
    // every later call. -1: failure (logged), also before PrepareSelectQuery and
    // on every call after a failed read.
    int GetNextEvent(_ChangeEventItem& row);

    // The database file's path.
    std::string Path() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
