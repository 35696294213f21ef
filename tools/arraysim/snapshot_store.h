// The array's snapshots: each one a manifest of its tree and, optionally, a readable copy.
// Not thread-safe; the server serializes access.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/arraysim/api_error.h"
#include "tools/arraysim/manifest.h"
#include "tools/arraysim/sim_options.h"

namespace arraysim {

struct Snapshot {
    int64_t id = 0;
    std::string name;
    std::string path;  // normalized array path
    int64_t created = 0;
    bool locked = false;
    bool synthetic = false;  // no tree behind it
    int64_t size = 0;
    std::shared_ptr<const Manifest> manifest;
    std::shared_ptr<const std::vector<PlaceKey>> keys;  // of the manifest, for changelists
    std::string copyDir;  // local directory of the readable copy, "" when none
};

class SnapshotStore {
public:
    explicit SnapshotStore(const SimOptions& options);
    ~SnapshotStore();  // leaves the copies in place: the tree outlives the emulator

    // Records the tree at `path`; 409 for a name in use, 404 for a missing path, 400 for a bad one.
    ApiError Create(const std::string& name, const std::string& path, Snapshot* created);
    // A record without a tree (synthetic mode, or when the tree is not wanted).
    const Snapshot& AddSynthetic(const std::string& name, const std::string& path);
    // By decimal id, else by name.
    Snapshot* Find(const std::string& nameOrId);
    Snapshot* FindId(int64_t id);
    // 404 when unknown, 409 AEC_CONFLICT when locked.
    ApiError Delete(const std::string& nameOrId);
    // Snapshots with an id above `afterId`, at most `limit`, ascending id.
    std::vector<const Snapshot*> ListAfter(int64_t afterId, size_t limit) const;
    size_t Count() const { return m_snapshots.size(); }

    void SetLockNew(bool on) { m_lockNew = on; }

private:
    const SimOptions& m_options;
    std::map<int64_t, Snapshot> m_snapshots;
    int64_t m_nextId = 1;
    bool m_lockNew = false;
    CtimeFixups m_fixups;
};

}  // namespace arraysim
