// The record of a tree taken when a snapshot is created: what a changelist compares.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace arraysim {

struct FileTime {
    int64_t sec = 0;
    int64_t nsec = 0;
    bool operator==(const FileTime& o) const { return sec == o.sec && nsec == o.nsec; }
    bool operator!=(const FileTime& o) const { return !(*this == o); }
};

struct ManifestEntry {
    uint64_t inode = 0;
    uint64_t parentInode = 0;  // 0 for the snapshot's root
    std::string path;          // array path, "/ifs/..."
    // Of the last component of `path` (NameHash): a changelist pairs the places
    // of an inode by parent and name without reading two paths per entry, which
    // on a tree of millions of entries costs more than the rest of the sweep.
    uint64_t nameHash = 0;
    std::string type;  // the array's type text: "regular", "directory", ...
    int64_t size = 0;
    FileTime atime, ctime, mtime;
};

// Sorted by (inode, path); a hard-linked file appears once per path.
using Manifest = std::vector<ManifestEntry>;

// What a changelist compares of a manifest entry, in 64 bytes instead of the entry's 144: the
// sweep of two manifests of millions of entries reads these. The bytes read are what it costs,
// all the more as a snapshot's manifest lies unread between jobs, and memory left alone for a
// minute is several times slower to read again on a virtual machine.
struct PlaceKey {
    uint64_t inode = 0;
    uint64_t parentInode = 0;
    uint64_t nameHash = 0;
    int64_t size = 0;
    int64_t mtimeSec = 0, ctimeSec = 0;
    uint32_t mtimeNsec = 0, ctimeNsec = 0;
    uint32_t typeCode = 0;  // a number for each type text FileTypeText gives, or kCompareEntries
};
static_assert(sizeof(PlaceKey) == 64, "a key is a cache line");

// A key that cannot tell its entry's state (a type text of no code, a time out of
// range): the sweep compares such entries themselves.
constexpr uint32_t kCompareEntries = 0xffffffff;

// The keys of a manifest's entries, in its order.
std::vector<PlaceKey> PlaceKeys(const Manifest& manifest);

// Directories whose ctime the emulator itself changed (by creating their ".snapshot"):
// inode -> (ctime right after our change, ctime before it). A scan that still finds the first
// value reports the second, so our own bookkeeping never shows up as a change.
using CtimeFixups = std::map<uint64_t, std::pair<FileTime, FileTime>>;

const char* FileTypeText(mode_t mode);

// The hash of the last component of an array path (FNV-1a, 64 bits).
uint64_t NameHash(std::string_view path);

// Records `localDir` (standing for array path `ifsDir`) and everything below it, skipping every
// directory named ".snapshot". Returns false with `error` set when part of the tree is unreadable.
bool ScanManifest(const std::string& localDir, const std::string& ifsDir, const CtimeFixups& fixups,
                  Manifest& out, std::string& error);

}  // namespace arraysim
