#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace snapscan {

// One change a changelist or a job's delivery lists, its path relative to the
// share ("/a/b", bytes).
struct ListedChange {
    std::string path;
    std::string oldPath;  // a delivered rename: where it was; else ""
    uint64_t inode = 0;   // without the array's removal bit; 0 when not known
    bool removed = false;
};

// The changelist of the snapshot pair (array ids) as the array builds it: asks
// for it (a changelist job, which ends at once when the changelist exists) and
// reads every page, waiting up to `waitSeconds` for it to be ready. Connects
// with the client's credentials. False with a reason on any failure; a partly
// read changelist is never returned.
bool FetchChangelist(uint32_t clientId, int64_t baseSnapshotId, int64_t currentSnapshotId,
                     double waitSeconds, std::vector<ListedChange>& changes, std::string& error);

// The items a job delivered, from a file of JSON lines as `snapscan job --json`
// prints them: the "item" records of `share` (every record's share when
// `share` is ""); other records are skipped. Item paths are made relative to
// the share: a path below one of `roots` (the share, the snapshot's read path)
// loses that prefix. "pathHex"/"oldPathHex" give the exact bytes when present.
// A renamed item lists its new path and its old path as removed. False with
// the line number and why on a line that is not such JSON, or an item that
// lacks its path or kind.
bool ReadDeliveredChanges(const std::string& file, const std::string& share,
                          const std::vector<std::string>& roots, std::vector<ListedChange>& changes,
                          std::string& error);

}  // namespace snapscan
