#include "tools/arraysim/changelist.h"

#include <algorithm>

namespace arraysim {

ChangelistSource::~ChangelistSource() = default;

namespace {

// Entries of one inode: [begin, end) of a manifest sorted by (inode, path).
struct InodeRange {
    Manifest::const_iterator begin, end;
};

InodeRange RangeOf(const Manifest& m, uint64_t inode) {
    auto lo = std::lower_bound(m.begin(), m.end(), inode,
                               [](const ManifestEntry& e, uint64_t ino) { return e.inode < ino; });
    auto hi = lo;
    while (hi != m.end() && hi->inode == inode) ++hi;
    return {lo, hi};
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The entry of the range at the same place: same parent directory, same name. A path that
// changed only because an ancestor was renamed is the same place.
const ManifestEntry* SamePlaceIn(const InodeRange& r, const ManifestEntry& e) {
    for (auto it = r.begin; it != r.end; ++it) {
        if (it->parentInode == e.parentInode && NameOf(it->path) == NameOf(e.path)) return &*it;
    }
    return nullptr;
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
    std::vector<ChangeEntry> present, removed;
    for (const auto& n : newer) {
        const ManifestEntry* o = SamePlaceIn(RangeOf(older, n.inode), n);
        bool changed = !o || o->size != n.size || o->mtime != n.mtime || o->ctime != n.ctime ||
                       o->type != n.type;
        if (changed) present.push_back(FromManifest(n));
    }
    for (const auto& o : older) {
        if (SamePlaceIn(RangeOf(newer, o.inode), o)) continue;
        ChangeEntry c = FromManifest(o);
        c.id |= kRemovedLinBit;
        if (!removedTypeText.empty()) c.type = removedTypeText;
        removed.push_back(std::move(c));
    }
    // Both manifests are sorted by (inode, path), so both lists already are in the array's order.
    present.insert(present.end(), std::make_move_iterator(removed.begin()),
                   std::make_move_iterator(removed.end()));
    return present;
}

std::unique_ptr<ChangelistSource> MakeStoredChangelist(std::vector<ChangeEntry> entries) {
    return std::make_unique<StoredChangelist>(std::move(entries));
}

}  // namespace arraysim
