#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace snapscan {

// What one side of a snapshot pair holds at a path. Times in nanoseconds since the epoch.
struct EntryState {
    bool present = false;
    uint32_t type = 0;         // the S_IFMT bits of the mode
    uint32_t permissions = 0;  // the other bits of the mode
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t links = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;

    bool IsDirectory() const;
};

// The fields in which two states of one path differ.
enum DifferenceBit : unsigned {
    kDiffPresence = 1,  // present on one side only
    kDiffType = 2,
    kDiffInode = 4,
    kDiffSize = 8,
    kDiffMtime = 16,
    kDiffCtime = 32,   // alone: a link or unlink of another name, an xattr
    kDiffMode = 64,    // permissions (a chmod)
    kDiffOwner = 128,  // a chown
    kDiffLinks = 256,  // a hard link made or removed (of a file other than a directory)
};
// `identity`: whether the snapshots show the array's own inode numbers and
// ctimes, so that they can be compared. A snapshot view made by copying the
// tree (arraysim's) has inodes and ctimes of its own; then neither is.
unsigned Differences(const EntryState& base, const EntryState& current, bool identity = true);
// "added", "removed", or the differing fields joined by "+" ("size+mtime+ctime").
std::string DifferenceText(unsigned bits, const EntryState& current);

// One snapshot's tree, opened at its root and never left: every lookup below it
// resolves without following a symbolic link and without crossing into another
// file system (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
// where the kernel lacks it, component by component with O_NOFOLLOW and an
// st_dev check). Paths below the root are "" (the root) or "/a/b", as bytes.
class SnapshotTree {
public:
    SnapshotTree() = default;
    ~SnapshotTree();
    SnapshotTree(const SnapshotTree&) = delete;
    SnapshotTree& operator=(const SnapshotTree&) = delete;

    // False with a reason when `root` is not a directory that can be read.
    bool Open(const std::string& root, std::string& error);
    const std::string& Root() const { return m_root; }
    uint64_t Device() const { return m_device; }

    // A read-only descriptor of the directory at `path` (the caller closes it),
    // or -1 with errno set (ENOTDIR, ELOOP for a link, EXDEV off the tree, ...).
    int OpenDirectory(std::string_view path) const;

    // The state of `path` (not present when it does not exist). False with a
    // reason when it cannot be told (a permission, a link on the way, I/O).
    bool Lookup(std::string_view path, EntryState& state, std::string& error) const;

private:
    int m_fd = -1;
    uint64_t m_device = 0;
    std::string m_root;
};

// Told of every difference a walk finds; called from several threads at once.
class PairVisitor {
public:
    virtual ~PairVisitor();

    // A name whose states differ (bits from Differences): `basePath` and
    // `currentPath` are where it is on each side (they differ below a directory
    // compared with its old path). When the current side is a directory that the
    // base side has not at this path, the visitor may name a base-side directory
    // to compare it with (`baseForDirectory`, e.g. the old path of a renamed
    // directory); else its entries are compared with nothing. A directory on the
    // base side alone is not descended into.
    virtual void OnDifference(std::string_view basePath, std::string_view currentPath,
                              const EntryState& base, const EntryState& current, unsigned bits,
                              std::string& baseForDirectory) = 0;
    // A directory that could not be read, or an entry that leaves the tree.
    virtual void OnProblem(std::string_view path, const std::string& problem) = 0;
};

struct WalkOptions {
    unsigned threads = 4;
    double samplePercent = 100;  // directories whose entries are compared; 100: all
    uint64_t seed = 0;           // which directories a sample takes
    bool identity = true;        // inodes and ctimes compare (see Differences)
};

// Whether the two snapshots show the same inode numbers for what did not
// change: some regular file in their top two levels has the same path, size and
// mtime on both sides, and at least one such file has the same inode. True
// when no such file is found (nothing to tell by; the strict comparison).
bool SnapshotsKeepIdentity(const SnapshotTree& base, const SnapshotTree& current);

struct WalkStats {
    uint64_t entries = 0;              // names compared on either side
    uint64_t directories = 0;          // directory pairs listed
    uint64_t directoriesCompared = 0;  // of which their entries were compared
    uint64_t problems = 0;
};

// Whether a sampled walk compares the entries of the directory at `path`.
bool SampledDirectory(std::string_view path, double percent, uint64_t seed);

// Walks the two trees directory by directory: each directory's names are read
// from both sides (getdents64), sorted as bytes and merged; a name on either
// side is compared by lstat-level state (statx, never following a link).
// Directories present on both sides are walked in turn, by a small pool of
// threads. Memory holds the listings of the directories being compared and
// the paths of those waiting, never the whole tree. ".snapshot" names are not
// part of a snapshot and are skipped. A directory that is not sampled is still
// listed (to reach those below it) but its entries are not compared.
WalkStats WalkSnapshotPair(const SnapshotTree& base, const SnapshotTree& current,
                           const WalkOptions& options, PairVisitor& visitor);

// A plain walk of one tree that stats every entry (the work a backup does that
// looks for changes itself): the number of entries seen.
uint64_t StatWalk(const SnapshotTree& tree, unsigned threads);

}  // namespace snapscan
