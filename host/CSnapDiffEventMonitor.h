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
    CRwError UpdateRenameEvent(const _ChangeEventItem& row);

    // Ends loading; rows are then handed out by GetNextEvent.
    CRwError PrepareSelectQuery();

    // 0: row holds the next stored row. 1: no rows left. -1: failure (logged).
    int GetNextEvent(_ChangeEventItem& row);

    // The database file's path.
    std::string Path() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
