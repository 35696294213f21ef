#include "tools/arraysim/snapshot_store.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "tools/arraysim/ifs_path.h"
#include "tools/arraysim/snapshot_view.h"

namespace arraysim {

namespace {

// The array's snapshot is on disk when its creation is answered. The copy
// that stands for it leaves the kernel a whole tree of dirty pages and inodes
// otherwise, and whoever syncs next on this file system (a client saving its
// state, say) would wait for them.
ApiError SyncFileSystemOf(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) {
        const int code = errno;
        if (fd >= 0) close(fd);
        return {500, "AEC_SYSTEM_INTERNAL_ERROR",
                "cannot flush " + path + " to disk: " + std::strerror(code)};
    }
    close(fd);
    return {};
}

}  // namespace

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
        // With a root as well, a synthetic snapshot of a path that exists there shows an empty
        // directory at <path>/.snapshot/<name>, so that a host mounting the root finds the
        // snapshot where the array shows it, and a whole job can run against the synthetic
        // changelist.
        const std::string local =
            m_options.root.empty() ? std::string() : IfsToLocal(m_options.root, ifsPath);
        struct stat st;
        if (!local.empty() && m_options.snapshotDir && lstat(local.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            std::string error;
            const std::string copy = local + "/.snapshot/" + name;
            if (!EnsureSnapshotRoot(local, m_fixups, error)) {
                return {500, "AEC_SYSTEM_INTERNAL_ERROR", error};
            }
            if (mkdir(copy.c_str(), 0755) != 0) {
                return {500, "AEC_SYSTEM_INTERNAL_ERROR",
                        "cannot create " + copy + ": " + std::strerror(errno)};
            }
            snap.copyDir = copy;
        }
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
            if (m_options.durableSnapshots) {
                const ApiError synced = SyncFileSystemOf(copy);
                if (!synced.Ok()) {
                    std::string ignored;
                    RemoveTree(copy, ignored);
                    return synced;
                }
            }
        }
        snap.keys = std::make_shared<const std::vector<PlaceKey>>(PlaceKeys(*manifest));
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
    const std::string copyDir = s->copyDir;
    if (!copyDir.empty()) {
        std::string error;
        if (!RemoveTree(copyDir, error)) return {500, "AEC_SYSTEM_INTERNAL_ERROR", error};
    }
    m_snapshots.erase(s->id);
    // Freeing a manifest leaves millions of small chunks in malloc's fast bins,
    // which the next large allocation sweeps up: that was the next changelist
    // job, 50 ms later on a tree of 1M files. The array's deletion pays for it.
    malloc_trim(0);
    // The snapshot is gone either way; a removal that could not be flushed is still an error.
    if (!copyDir.empty() && m_options.durableSnapshots)
        return SyncFileSystemOf(copyDir.substr(0, copyDir.rfind('/')));
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
