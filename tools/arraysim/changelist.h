// Changelists: what changed between two snapshots, entry by entry, in the array's order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/arraysim/manifest.h"

namespace arraysim {

// Set in the id of an entry that is gone from the newer snapshot.
constexpr uint64_t kRemovedLinBit = 0x2000000000000000ULL;

struct ChangeEntry {
    uint64_t id = 0;  // inode (LIN), with kRemovedLinBit for a removed entry
    std::string path;
    std::string type;
    int64_t size = 0;
    FileTime atime, ctime, mtime;
};

// Served page by page; an implementation may generate its entries on demand.
class ChangelistSource {
public:
    virtual ~ChangelistSource();
    virtual uint64_t Size() const = 0;
    // Appends entries [offset, offset + count) (clipped to Size()) to `out`.
    virtual void Read(uint64_t offset, uint64_t count, std::vector<ChangeEntry>* out) const = 0;
    // Appends the same entries as the JSON objects of a page, comma-separated, byte for byte as
    // AppendEntryJson (lins_page.h) writes each; returns how many. By default the entries are
    // read and written one by one; a generated source writes them without building any.
    virtual uint64_t AppendPageItems(uint64_t offset, uint64_t count, std::string& out) const;
};

// Compares two manifests by inode. Present entries: added, modified (size, mtime, ctime or type)
// and moved (an inode under a parent directory or name it did not have before). Removed entries:
// every older place an inode no longer has, with its older path and attributes, the removal bit,
// and `removedTypeText` as type (the older type when empty). A rename is thus a present entry plus
// a removed one with the same inode; the unchanged entries below a renamed directory are not
// listed, as on the array, whose changelists name changed inodes only.
// Order: present entries by ascending inode, then removed entries by ascending inode.
std::vector<ChangeEntry> ComputeChangelist(const Manifest& older, const Manifest& newer,
                                           const std::string& removedTypeText);
// The same with the manifests' keys (PlaceKeys) made beforehand, when the snapshots were taken.
std::vector<ChangeEntry> ComputeChangelist(const Manifest& older,
                                           const std::vector<PlaceKey>& olderKeys,
                                           const Manifest& newer,
                                           const std::vector<PlaceKey>& newerKeys,
                                           const std::string& removedTypeText);

std::unique_ptr<ChangelistSource> MakeStoredChangelist(std::vector<ChangeEntry> entries);

}  // namespace arraysim
