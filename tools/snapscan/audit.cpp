#include "tools/snapscan/audit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

namespace snapscan {

namespace {

// "/a" for "/a/b", "/" for "/a".
std::string_view ParentOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string_view();
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The listed changes, looked up by path and by inode from several threads at
// once; each remembers whether a difference matched it.
class ChangeIndex {
public:
    explicit ChangeIndex(const std::vector<ListedChange>& changes)
        : m_changes(changes), m_matched(new std::atomic<bool>[changes.size()]) {
        for (size_t i = 0; i < changes.size(); ++i) {
            m_matched[i] = false;
            m_byPath.push_back(static_cast<uint32_t>(i));
            if (changes[i].inode != 0) m_byInode.push_back(static_cast<uint32_t>(i));
            m_parents.push_back(ParentOf(changes[i].path));
        }
        std::sort(m_byPath.begin(), m_byPath.end(), [this](uint32_t a, uint32_t b) {
            return std::string_view(m_changes[a].path) < std::string_view(m_changes[b].path);
        });
        std::sort(m_byInode.begin(), m_byInode.end(), [this](uint32_t a, uint32_t b) {
            return m_changes[a].inode < m_changes[b].inode;
        });
        std::sort(m_parents.begin(), m_parents.end());
        m_parents.erase(std::unique(m_parents.begin(), m_parents.end()), m_parents.end());
    }

    // Marks the changes at `path` that are (not) removals; whether there are any.
    bool CoverPath(std::string_view path, bool removed) {
        bool covered = false;
        for (auto it = FirstAt(path); it != m_byPath.end() && m_changes[*it].path == path; ++it) {
            if (m_changes[*it].removed != removed) continue;
            m_matched[*it] = true;
            covered = true;
        }
        return covered;
    }

    bool CoverInode(uint64_t inode) {
        bool covered = false;
        auto it =
            std::lower_bound(m_byInode.begin(), m_byInode.end(), inode,
                             [this](uint32_t i, uint64_t n) { return m_changes[i].inode < n; });
        for (; it != m_byInode.end() && m_changes[*it].inode == inode; ++it) {
            m_matched[*it] = true;
            covered = true;
        }
        return covered;
    }

    bool HasChildListed(std::string_view directory) const {
        return std::binary_search(m_parents.begin(), m_parents.end(), directory);
    }

    // Where a directory now at `path` was, by a listed rename: the old path of
    // a delivered rename, or where the inode listed at `path` was removed from.
    std::string RenameSource(std::string_view path) const {
        for (auto it = FirstAt(path); it != m_byPath.end() && m_changes[*it].path == path; ++it) {
            const ListedChange& change = m_changes[*it];
            if (change.removed) continue;
            if (!change.oldPath.empty()) return change.oldPath;
            if (change.inode == 0) continue;
            auto gone =
                std::lower_bound(m_byInode.begin(), m_byInode.end(), change.inode,
                                 [this](uint32_t i, uint64_t n) { return m_changes[i].inode < n; });
            for (; gone != m_byInode.end() && m_changes[*gone].inode == change.inode; ++gone) {
                const ListedChange& old = m_changes[*gone];
                if (old.removed && old.path != path && old.path.size() > 1) return old.path;
            }
        }
        return std::string();
    }

    size_t Size() const { return m_changes.size(); }
    bool Matched(size_t i) const { return m_matched[i]; }
    const ListedChange& At(size_t i) const { return m_changes[i]; }

private:
    std::vector<uint32_t>::const_iterator FirstAt(std::string_view path) const {
        return std::lower_bound(m_byPath.begin(), m_byPath.end(), path,
                                [this](uint32_t i, std::string_view p) {
                                    return std::string_view(m_changes[i].path) < p;
                                });
    }

    const std::vector<ListedChange>& m_changes;
    std::unique_ptr<std::atomic<bool>[]> m_matched;
    std::vector<uint32_t> m_byPath;
    std::vector<uint32_t> m_byInode;
    std::vector<std::string_view> m_parents;
};

class Findings {
public:
    Findings(AuditResult& result, size_t limit) : m_result(result), m_limit(limit) {}

    void Add(const char* kind, std::string_view path, std::string detail) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (kind[0] == 'm') ++m_result.missed;
        if (kind[0] == 's') ++m_result.spurious;
        if (kind[0] == 'p') ++m_result.problems;
        if (m_result.findings.size() >= m_limit) {
            m_result.findingsTruncated = true;
            return;
        }
        m_result.findings.push_back({kind, std::string(path), std::move(detail)});
    }

private:
    std::mutex m_mutex;
    AuditResult& m_result;
    size_t m_limit;
};

class AuditVisitor : public PairVisitor {
public:
    AuditVisitor(ChangeIndex& index, bool byInode, Findings& findings)
        : m_index(index), m_byInode(byInode), m_findings(findings) {}

    void OnDifference(std::string_view basePath, std::string_view currentPath,
                      const EntryState& base, const EntryState& current, unsigned bits,
                      std::string& baseForDirectory) override {
        const bool byInode = m_byInode;
        bool covered = false;
        if (current.present) {
            covered = m_index.CoverPath(currentPath, false);
            if (byInode) covered = m_index.CoverInode(current.inode) || covered;
            const bool timesOnly = base.IsDirectory() && current.IsDirectory() &&
                                   (bits & ~(kDiffSize | kDiffMtime | kDiffCtime)) == 0;
            if (!covered && timesOnly) covered = m_index.HasChildListed(currentPath);
        } else {
            covered = m_index.CoverPath(basePath, true);
            if (byInode) covered = m_index.CoverInode(base.inode) || covered;
        }
        // A removal listed where another inode now stands is a true difference too.
        if (base.present && current.present && (bits & kDiffInode) != 0)
            m_index.CoverPath(basePath, true);
        if (!covered)
            m_findings.Add("missed", current.present ? currentPath : basePath,
                           DifferenceText(bits, current));
        if (current.IsDirectory() && !base.IsDirectory())
            baseForDirectory = m_index.RenameSource(currentPath);
    }

    void OnProblem(std::string_view path, const std::string& problem) override {
        m_findings.Add("problem", path, problem);
    }

private:
    ChangeIndex& m_index;
    bool m_byInode;
    Findings& m_findings;
};

// A listed change no difference matched: spurious when its path is the same
// in both snapshots.
void CheckUnmatched(const ChangeIndex& index, const SnapshotTree& base, const SnapshotTree& current,
                    bool identity, Findings& findings) {
    for (size_t i = 0; i < index.Size(); ++i) {
        if (index.Matched(i)) continue;
        const ListedChange& change = index.At(i);
        const char* kind = change.removed ? "removed" : "changed";
        if (change.path.empty() || change.path[0] != '/') {
            findings.Add("spurious", change.path,
                         std::string(kind) + " (not a path below the share)");
            continue;
        }
        EntryState before;
        EntryState after;
        std::string problem;
        if (!base.Lookup(change.path, before, problem) ||
            !current.Lookup(change.path, after, problem)) {
            findings.Add("problem", change.path, "cannot check a listed change: " + problem);
            continue;
        }
        if (Differences(before, after, identity) == 0)
            findings.Add("spurious", change.path,
                         std::string(kind) + " (the same in both snapshots)");
    }
}

}  // namespace

bool RunAudit(const AuditRequest& request, AuditResult& result, std::string& error) {
    const auto start = std::chrono::steady_clock::now();
    result = AuditResult();
    SnapshotTree base;
    SnapshotTree current;
    if (!base.Open(request.baseRoot, error) || !current.Open(request.currentRoot, error))
        return false;
    result.listed = request.changes.size();
    result.sampled = request.walk.samplePercent < 100;
    result.samplePercent = request.walk.samplePercent;
    result.seed = request.walk.seed;

    WalkOptions walk = request.walk;
    walk.identity = request.identity == Identity::kAuto ? SnapshotsKeepIdentity(base, current)
                                                        : request.identity == Identity::kKept;
    result.identityKept = walk.identity;

    ChangeIndex index(request.changes);
    Findings findings(result, request.maxFindings);
    // A changelist names an inode once whatever its paths; only inode numbers
    // the snapshots show can be matched with it.
    AuditVisitor visitor(index, request.source == ChangeSource::kChangelist && walk.identity,
                         findings);
    EntryState baseRoot;
    EntryState currentRoot;
    if (!base.Lookup("/", baseRoot, error) || !current.Lookup("/", currentRoot, error))
        return false;
    const unsigned rootBits = Differences(baseRoot, currentRoot, walk.identity);
    std::string unused;
    if (rootBits != 0) visitor.OnDifference("/", "/", baseRoot, currentRoot, rootBits, unused);
    const WalkStats stats = WalkSnapshotPair(base, current, walk, visitor);
    result.entriesWalked = stats.entries;
    result.directoriesWalked = stats.directories;
    result.directoriesCompared = stats.directoriesCompared;
    CheckUnmatched(index, base, current, walk.identity, findings);
    std::sort(result.findings.begin(), result.findings.end(),
              [](const AuditFinding& a, const AuditFinding& b) {
                  return std::tie(a.kind, a.path) < std::tie(b.kind, b.path);
              });
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return true;
}

}  // namespace snapscan
