#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/Records.h"

#include "tools/snapscan/batch_writer.h"
#include "tools/snapscan/output.h"

namespace snapscan {

// The forms `--changes-out` writes a job's changes in.
enum class ChangesFormat {
    // Per compared share two lists of paths relative to the share's read path,
    // each path followed by a NUL byte. The file itself lists what to copy
    // from the snapshot (rsync --from0 --files-from, tar --null --no-recursion
    // -T, cpio -0): changed entries and the new side of renames; a renamed
    // directory with every entry below it in the snapshot, since the
    // changelist names only the directory. The share's root is ".". A path may
    // appear twice (rsync and cpio take it once). Its companion, the file name
    // + ".removed", lists what to delete on a mirror before copying: removed
    // entries and the old side of renames (rsync --delete-missing-args from an
    // empty directory). Deleting first is what makes a new entry at an old
    // path right: the old entry's content goes with it.
    kNul,
    // One file for the job: every item record, one per line, exactly as
    // `--json` prints it.
    kJsonl,
};

// Parses "nul" or "jsonl".
bool ParseChangesFormat(const std::string& text, ChangesFormat& format);

// Writes the changes files of one job. Every file is written to a temporary
// file beside its destination and renamed into place by Commit(), so that a
// reader never sees a partial file; what is not committed is removed when the
// writer goes. Not thread-safe.
class ChangesWriter {
public:
    // `path` is the file to write; a job of several shares writes, in the NUL
    // form, one file per share: `path` + "." + its position among the job's
    // shares (1-based); each with its ".removed" companion.
    ChangesWriter(std::string path, ChangesFormat format, size_t shareCount);
    ~ChangesWriter();
    ChangesWriter(const ChangesWriter&) = delete;
    ChangesWriter& operator=(const ChangesWriter&) = delete;

    // The destination of the share at `index` (0-based) of `shareCount`.
    static std::string PathFor(const std::string& path, ChangesFormat format, size_t index,
                               size_t shareCount);

    // Removes the destinations an earlier job left, so that after this job a
    // file is there only if this job handed its changes on. False with a reason
    // when one cannot be removed.
    bool RemoveOld(std::string& error) const;

    // The changes of the share at `index` follow; it is read from `readPath`.
    bool BeginShare(size_t index, const std::string& share, const std::string& readPath,
                    std::string& error);
    // One item of the share begun last. False with a reason when the item's
    // path is not below the share or the file cannot be written.
    bool Add(const FileServerSnapshotCompareItem& item, std::string& error);
    // Renames every file into place (the shares not begun get none).
    bool Commit(std::string& error);

private:
    struct PendingFile;

    bool Open(const std::string& destination, PendingFile*& opened, std::string& error);
    bool Put(PendingFile& file, const std::string& bytes, std::string& error);
    bool PutPath(PendingFile& file, const std::string& relative, std::string& error);
    // The item's path relative to the share ("." for the root); false when it
    // is not below the share.
    bool Relative(const std::string& itemPath, std::string& relative) const;
    bool UnderListedTree(const std::string& relative) const;
    bool ListTree(const std::string& relative, std::string& error);
    bool LineWriteFailed(std::string& error);

    std::string m_path;
    ChangesFormat m_format;
    size_t m_shareCount;
    std::vector<std::unique_ptr<PendingFile>> m_files;
    PendingFile* m_current = nullptr;  // what to copy (every item, in JSON lines)
    PendingFile* m_removed = nullptr;  // what to delete first
    std::string m_shareGiven;          // as the job lists it
    std::string m_share;               // without a trailing "/"
    std::string m_readPath;            // without a trailing "/"
    // Renamed directories listed with all their entries (relative paths).
    std::unordered_set<std::string> m_listedTrees;
    UtcStamps m_stamps;  // the "time" of JSON lines
    std::string m_time;  // of one JSON line; kept to reuse its memory
    // JSON lines go to their file in batches from a thread of their own; the
    // first failure to write one is kept for the next Add or Commit.
    std::string m_lines;
    std::unique_ptr<BatchWriter> m_lineWriter;
    std::mutex m_lineErrorMutex;
    std::string m_lineError;
};

}  // namespace snapscan
