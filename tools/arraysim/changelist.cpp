#include "tools/arraysim/changelist.h"

#include "tools/arraysim/lins_page.h"

#include <algorithm>

namespace arraysim {

ChangelistSource::~ChangelistSource() = default;

uint64_t ChangelistSource::AppendPageItems(uint64_t offset, uint64_t count,
                                           std::string& out) const {
    std::vector<ChangeEntry> entries;
    Read(offset, count, &entries);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) out.push_back(',');
        AppendEntryJson(out, entries[i]);
    }
    return entries.size();
}

namespace {

// Entries of one inode: [begin, end) of a manifest sorted by (inode, path).
struct InodeRange {
    Manifest::const_iterator begin, end;
};

// The entry of the range at the same place: same parent directory, same name (told by its
// hash). A path that changed only because an ancestor was renamed is the same place.
const ManifestEntry* SamePlaceIn(const InodeRange& r, const ManifestEntry& e) {
    for (auto it = r.begin; it != r.end; ++it) {
        if (it->parentInode == e.parentInode && it->nameHash == e.nameHash) return &*it;
    }
    return nullptr;
}

// The run of entries of the inode at `from` (the end of the manifest stays the end).
InodeRange RunAt(Manifest::const_iterator from, Manifest::const_iterator end) {
    auto to = from;
    while (to != end && to->inode == from->inode) ++to;
    return {from, to};
}

ChangeEntry FromManifest(const ManifestEntry& e) {
    ChangeEntry c;
    c.id = e.inode;
    c.path = e.path;
    c.type = e.type;
    c.size = e.size;
    c.atime = e.atime;
    c.ctime = e.ctime;
    c.mtime = e.mtime;
    return c;
}

class StoredChangelist : public ChangelistSource {
public:
    explicit StoredChangelist(std::vector<ChangeEntry> entries) : m_entries(std::move(entries)) {}
    uint64_t Size() const override { return m_entries.size(); }
    void Read(uint64_t offset, uint64_t count, std::vector<ChangeEntry>* out) const override {
        for (uint64_t i = offset; i < m_entries.size() && i - offset < count; ++i)
            out->push_back(m_entries[i]);
    }

private:
    std::vector<ChangeEntry> m_entries;
};

}  // namespace

std::vector<ChangeEntry> ComputeChangelist(const Manifest& older, const Manifest& newer,
                                           const std::string& removedTypeText) {
    // Both manifests are sorted by (inode, path): one pass over both, inode run by inode run,
    // pairs the places of each inode without a lookup per entry (a share of millions of entries
    // is compared in one sequential sweep). Each list comes out in the array's order.
    std::vector<ChangeEntry> present, removed;
    auto o = older.begin();
    auto n = newer.begin();
    while (o != older.end() || n != newer.end()) {
        // The inode's places in each snapshot; an empty run where it has none.
        InodeRange olderRun{older.end(), older.end()};
        InodeRange newerRun{newer.end(), newer.end()};
        if (n == newer.end() || (o != older.end() && o->inode < n->inode)) {
            olderRun = RunAt(o, older.end());
        } else if (o == older.end() || n->inode < o->inode) {
            newerRun = RunAt(n, newer.end());
        } else {
            olderRun = RunAt(o, older.end());
            newerRun = RunAt(n, newer.end());
        }
        for (auto it = newerRun.begin; it != newerRun.end; ++it) {
            const ManifestEntry* before = SamePlaceIn(olderRun, *it);
            const bool changed = !before || before->size != it->size ||
                                 before->mtime != it->mtime || before->ctime != it->ctime ||
                                 before->type != it->type;
            if (changed) present.push_back(FromManifest(*it));
        }
        for (auto it = olderRun.begin; it != olderRun.end; ++it) {
            if (SamePlaceIn(newerRun, *it)) continue;
            ChangeEntry c = FromManifest(*it);
            c.id |= kRemovedLinBit;
            if (!removedTypeText.empty()) c.type = removedTypeText;
            removed.push_back(std::move(c));
        }
        if (olderRun.begin != olderRun.end) o = olderRun.end;
        if (newerRun.begin != newerRun.end) n = newerRun.end;
    }
    present.insert(present.end(), std::make_move_iterator(removed.begin()),
                   std::make_move_iterator(removed.end()));
    return present;
}

std::unique_ptr<ChangelistSource> MakeStoredChangelist(std::vector<ChangeEntry> entries) {
    return std::make_unique<StoredChangelist>(std::move(entries));
}

}  // namespace arraysim
