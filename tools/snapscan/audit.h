#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/snapscan/audit_changes.h"
#include "tools/snapscan/tree_walk.h"

namespace snapscan {

// Where the listed changes come from, which decides what covers a difference.
enum class ChangeSource {
    // The array's changelist: it names each changed inode once, at one of its
    // paths, so an entry also covers the other paths of its inode (hard links).
    kChangelist,
    // What a job delivered: the backup reads the paths it is handed, so only an
    // item at the path covers it.
    kDelivered,
};

// Whether the snapshots show the array's inode numbers and ctimes.
enum class Identity {
    kAuto,        // tell from the snapshots (SnapshotsKeepIdentity)
    kKept,        // they do, as the array's snapshots over NFS do
    kRenumbered,  // they do not (a copy, as arraysim's): compare without them
};

struct AuditFinding {
    std::string kind;    // "missed", "spurious" or "problem"
    std::string path;    // relative to the share, bytes
    std::string detail;  // missed: the difference ("added", "size+mtime", ...); spurious:
                         // the listed kind; problem: why
};

// The outcome of an audit, small enough for a metrics writer to report.
struct AuditResult {
    uint64_t missed = 0;    // true differences no listed change covers
    uint64_t spurious = 0;  // listed changes without a true difference
    uint64_t problems = 0;  // places that could not be checked
    uint64_t listed = 0;    // changes listed
    uint64_t entriesWalked = 0;
    uint64_t directoriesWalked = 0;
    uint64_t directoriesCompared = 0;
    bool sampled = false;
    bool identityKept = true;  // inodes and ctimes were compared
    double samplePercent = 100;
    uint64_t seed = 0;
    double seconds = 0;
    std::vector<AuditFinding> findings;  // the first maxFindings, in no fixed order
    bool findingsTruncated = false;
};

struct AuditRequest {
    std::string baseRoot;     // the base snapshot of the share, e.g. <share>/.snapshot/<name>
    std::string currentRoot;  // the current snapshot of the share
    std::vector<ListedChange> changes;
    ChangeSource source = ChangeSource::kChangelist;
    Identity identity = Identity::kAuto;
    WalkOptions walk;  // its identity is set from `identity`
    size_t maxFindings = 10000;
};

// Walks both snapshots and checks every true difference against the listed
// changes; then looks up every listed change no difference matched, at its
// path in both snapshots, to tell a spurious one from one the walk did not
// reach (below a removed directory, in a directory a sample skipped).
//
// What a true difference is: a path present on one side only, or present on
// both with another type, inode, size, mtime or ctime (a chmod alone changes
// the ctime and the mode; access times are not compared; inodes and ctimes
// only when the snapshots keep them). What covers it:
// - a path present now: a listed present change at the path, or (changelist,
//   inodes kept) any listed change of its inode;
// - a path gone: a listed removal at the path, or (changelist, inodes kept)
//   any listed change of its inode (an unlinked hard link, a rename);
// - a directory whose type and inode stay and whose size or times change: also
//   a listed change directly inside it (adding or removing a child changes
//   them; arrays do not always list the directory itself).
// The root of the share is compared as a directory too.
// Below a directory at a new path that a listed rename came from (a listed
// removal of the inode listed at its path, or a delivered rename's old path), the entries are
// compared with those at the old path, so that entries that only moved with it are not differences.
// Below a directory that is gone, nothing is walked: its removal covers what it held. False with a
// reason when a snapshot cannot be opened.
bool RunAudit(const AuditRequest& request, AuditResult& result, std::string& error);

}  // namespace snapscan
