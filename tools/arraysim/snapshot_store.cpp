#include "tools/arraysim/snapshot_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "tools/arraysim/ifs_path.h"
#include "tools/arraysim/snapshot_view.h"

namespace arraysim {

SnapshotStore::SnapshotStore(const SimOptions& options)
    : m_options(options), m_lockNew(options.lockNewSnapshots) {}

SnapshotStore::~SnapshotStore() = default;

ApiError SnapshotStore::Create(const std::string& name, const std::string& path,
                               Snapshot* created) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return ApiError::BadRequest("Invalid snapshot name '" + name + "'");
    }
    std::string ifsPath;
    if (!NormalizeIfsPath(path, ifsPath))
        return ApiError::BadRequest("Invalid path '" + path + "'");
    for (const auto& [id, s] : m_snapshots) {
        if (s.name == name)
            return ApiError::Conflict("Snapshot name '" + name + "' is already in use");
    }
    Snapshot snap;
    snap.name = name;
    snap.path = ifsPath;
    snap.created = static_cast<int64_t>(std::time(nullptr));
    snap.locked = m_lockNew;
    if (m_options.root.empty() || m_options.synthetic.entries > 0) {
        snap.synthetic = true;
    } else {
        std::string local = IfsToLocal(m_options.root, ifsPath);
        struct stat st;
        if (lstat(local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return ApiError::NotFound("Path '" + ifsPath + "' does not exist");
        }
        auto manifest = std::make_shared<Manifest>();
        std::string error;
        if (!ScanManifest(local, ifsPath, m_fixups, *manifest, error)) {
            return {500, "AEC_SYSTEM_INTERNAL_ERROR", error};
        }
        for (const auto& e : *manifest) {
            if (e.type == "regular") snap.size += e.size;
        }
        if (m_options.snapshotDir) {
            std::string copy = local + "/.snapshot/" + name;
            if (!EnsureSnapshotRoot(local, m_fixups, error) || !CopyTree(local, copy, error)) {
                std::string ignored;
                RemoveTree(copy, ignored);
                return {500, "AEC_SYSTEM_INTERNAL_ERROR", error};
            }
            snap.copyDir = copy;
        }
        snap.manifest = std::move(manifest);
    }
    snap.id = m_nextId++;
    *created = m_snapshots.emplace(snap.id, std::move(snap)).first->second;
    return {};
}

const Snapshot& SnapshotStore::AddSynthetic(const std::string& name, const std::string& path) {
    Snapshot snap;
    snap.id = m_nextId++;
    snap.name = name;
    snap.path = path;
    snap.created = static_cast<int64_t>(std::time(nullptr));
    snap.synthetic = true;
    return m_snapshots.emplace(snap.id, std::move(snap)).first->second;
}

Snapshot* SnapshotStore::FindId(int64_t id) {
    auto it = m_snapshots.find(id);
    return it == m_snapshots.end() ? nullptr : &it->second;
}

Snapshot* SnapshotStore::Find(const std::string& nameOrId) {
    bool numeric =
        !nameOrId.empty() && nameOrId.size() < 19 &&
        std::all_of(nameOrId.begin(), nameOrId.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (numeric) {
        if (Snapshot* s = FindId(std::stoll(nameOrId))) return s;
    }
    for (auto& [id, s] : m_snapshots) {
        if (s.name == nameOrId) return &s;
    }
    return nullptr;
}

ApiError SnapshotStore::Delete(const std::string& nameOrId) {
    Snapshot* s = Find(nameOrId);
    if (!s) return ApiError::NotFound("Snapshot '" + nameOrId + "' not found");
    if (s->locked) {
        return ApiError::Conflict("Snapshot '" + s->name + "' has locks and cannot be deleted");
    }
    if (!s->copyDir.empty()) {
        std::string error;
        if (!RemoveTree(s->copyDir, error)) return {500, "AEC_SYSTEM_INTERNAL_ERROR", error};
    }
    m_snapshots.erase(s->id);
    return {};
}

std::vector<const Snapshot*> SnapshotStore::ListAfter(int64_t afterId, size_t limit) const {
    std::vector<const Snapshot*> out;
    for (auto it = m_snapshots.upper_bound(afterId); it != m_snapshots.end() && out.size() < limit;
         ++it) {
        out.push_back(&it->second);
    }
    return out;
}

}  // namespace arraysim
