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

// Entries of one inode: [begin, end) of a manifest's keys sorted by (inode, path).
struct InodeRange {
    size_t begin, end;
};

// The entry of the range at the same place: same parent directory, same name (told by its
// hash). A path that changed only because an ancestor was renamed is the same place.
const PlaceKey* SamePlaceIn(const std::vector<PlaceKey>& keys, const InodeRange& r,
                            const PlaceKey& e) {
    for (size_t i = r.begin; i != r.end; ++i) {
        if (keys[i].parentInode == e.parentInode && keys[i].nameHash == e.nameHash) return &keys[i];
    }
    return nullptr;
}

// The run of entries of the inode at `from` (the end stays the end).
InodeRange RunAt(const std::vector<PlaceKey>& keys, size_t from) {
    size_t to = from;
    while (to != keys.size() && keys[to].inode == keys[from].inode) ++to;
    return {from, to};
}

bool SameState(const PlaceKey& a, const ManifestEntry& entryA, const PlaceKey& b,
               const ManifestEntry& entryB) {
    if (a.typeCode == kCompareEntries || b.typeCode == kCompareEntries)
        return entryA.size == entryB.size && entryA.mtime == entryB.mtime &&
               entryA.ctime == entryB.ctime && entryA.type == entryB.type;
    return a.size == b.size && a.mtimeSec == b.mtimeSec && a.mtimeNsec == b.mtimeNsec &&
           a.ctimeSec == b.ctimeSec && a.ctimeNsec == b.ctimeNsec && a.typeCode == b.typeCode;
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
    return ComputeChangelist(older, PlaceKeys(older), newer, PlaceKeys(newer), removedTypeText);
}

std::vector<ChangeEntry> ComputeChangelist(const Manifest& older,
                                           const std::vector<PlaceKey>& olderKeys,
                                           const Manifest& newer,
                                           const std::vector<PlaceKey>& newerKeys,
                                           const std::string& removedTypeText) {
    if (olderKeys.size() != older.size() || newerKeys.size() != newer.size())
        return ComputeChangelist(older, newer, removedTypeText);  // keys of other manifests
    // Both manifests are sorted by (inode, path): one pass over both, inode run by inode run,
    // pairs the places of each inode without a lookup per entry (a share of millions of entries
    // is compared in one sequential sweep of their keys). Each list comes out in the array's
    // order.
    std::vector<ChangeEntry> present, removed;
    const size_t olderEnd = olderKeys.size(), newerEnd = newerKeys.size();
    size_t o = 0, n = 0;
    while (o != olderEnd || n != newerEnd) {
        // The inode's places in each snapshot; an empty run where it has none.
        InodeRange olderRun{olderEnd, olderEnd};
        InodeRange newerRun{newerEnd, newerEnd};
        if (n == newerEnd || (o != olderEnd && olderKeys[o].inode < newerKeys[n].inode)) {
            olderRun = RunAt(olderKeys, o);
        } else if (o == olderEnd || newerKeys[n].inode < olderKeys[o].inode) {
            newerRun = RunAt(newerKeys, n);
        } else {
            olderRun = RunAt(olderKeys, o);
            newerRun = RunAt(newerKeys, n);
        }
        for (size_t i = newerRun.begin; i != newerRun.end; ++i) {
            const PlaceKey* before = SamePlaceIn(olderKeys, olderRun, newerKeys[i]);
            if (!before ||
                !SameState(*before, older[static_cast<size_t>(before - olderKeys.data())],
                           newerKeys[i], newer[i]))
                present.push_back(FromManifest(newer[i]));
        }
        for (size_t i = olderRun.begin; i != olderRun.end; ++i) {
            if (SamePlaceIn(newerKeys, newerRun, olderKeys[i])) continue;
            ChangeEntry c = FromManifest(older[i]);
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
