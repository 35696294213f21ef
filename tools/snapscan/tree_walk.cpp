#include "tools/snapscan/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace snapscan {

namespace {

// getdents64's record; glibc has no portable declaration of it.
struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool Skipped(std::string_view name) { return name == "." || name == ".." || name == ".snapshot"; }

// "a/b" for openat: the tree's paths begin with "/"; the root is ".".
std::string Relative(std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return path.empty() ? std::string(".") : std::string(path);
}

void FromStatx(const struct statx& info, EntryState& state) {
    state.present = true;
    state.type = info.stx_mode & S_IFMT;
    state.permissions = info.stx_mode & ~S_IFMT;
    state.uid = info.stx_uid;
    state.gid = info.stx_gid;
    state.links = info.stx_nlink;
    state.inode = info.stx_ino;
    state.size = info.stx_size;
    state.mtime = info.stx_mtime.tv_sec * 1000000000LL + info.stx_mtime.tv_nsec;
    state.ctime = info.stx_ctime.tv_sec * 1000000000LL + info.stx_ctime.tv_nsec;
}

uint64_t DeviceOf(const struct statx& info) {
    return makedev(info.stx_dev_major, info.stx_dev_minor);
}

// lstat of `name` in the directory `fd`. ENOENT (and ENOTDIR) leave the state
// not present; other failures return the errno.
int StatAt(int fd, const char* name, EntryState& state, uint64_t& device) {
    struct statx info;
    state = EntryState();
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(fd, name, flags, STATX_BASIC_STATS, &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    }
    FromStatx(info, state);
    device = DeviceOf(info);
    return 0;
}

// The names of a directory, as bytes in one buffer, sorted bytewise.
class Listing {
public:
    struct Name {
        uint32_t offset;
        uint32_t length;
        unsigned char type;  // d_type
    };

    // False with errno when the directory cannot be read.
    bool Read(int fd) {
        m_bytes.clear();
        m_names.clear();
        alignas(8) char buffer[64 * 1024];
        for (;;) {
            const long count = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (count < 0) return false;
            if (count == 0) break;
            for (long at = 0; at < count;) {
                const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
                at += entry->d_reclen;
                const std::string_view name(entry->d_name);
                if (Skipped(name)) continue;
                m_names.push_back({static_cast<uint32_t>(m_bytes.size()),
                                   static_cast<uint32_t>(name.size()), entry->d_type});
                m_bytes.append(name.data(), name.size());
                m_bytes.push_back('\0');
            }
        }
        std::sort(m_names.begin(), m_names.end(),
                  [this](const Name& a, const Name& b) { return View(a) < View(b); });
        return true;
    }

    size_t Size() const { return m_names.size(); }
    const Name& At(size_t i) const { return m_names[i]; }
    std::string_view View(const Name& name) const {
        return std::string_view(m_bytes.data() + name.offset, name.length);
    }
    const char* CString(const Name& name) const { return m_bytes.c_str() + name.offset; }

private:
    std::string m_bytes;
    std::vector<Name> m_names;
};

struct Work {
    std::string basePath;
    std::string currentPath;
    bool hasBase = false;
    bool hasCurrent = false;
};

// Directories waiting to be walked, taken newest first so that the walk goes
// deep before wide and the waiting paths stay few.
class WorkStack {
public:
    void Push(Work work) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_work.push_back(std::move(work));
        }
        m_ready.notify_one();
    }

    // False when nothing is left and nobody can add more.
    bool Pop(Work& work) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_work.empty() || m_busy == 0; });
        if (m_work.empty()) return false;
        work = std::move(m_work.back());
        m_work.pop_back();
        ++m_busy;
        return true;
    }

    void Finished() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_busy == 0 && m_work.empty()) m_ready.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<Work> m_work;
    unsigned m_busy = 0;
};

class Walker {
public:
    Walker(const SnapshotTree& base, const SnapshotTree& current, const WalkOptions& options,
           PairVisitor& visitor)
        : m_base(base), m_current(current), m_options(options), m_visitor(visitor) {}

    WalkStats Run(Work root) {
        m_stack.Push(std::move(root));
        const unsigned threads = std::max(1u, std::min(m_options.threads, 64u));
        std::vector<std::thread> pool;
        for (unsigned i = 0; i < threads; ++i) pool.emplace_back([this] { Loop(); });
        for (std::thread& thread : pool) thread.join();
        WalkStats stats;
        stats.entries = m_entries;
        stats.directories = m_directories;
        stats.directoriesCompared = m_compared;
        stats.problems = m_problems;
        return stats;
    }

private:
    void Loop() {
        Work work;
        Listing baseNames;
        Listing currentNames;
        while (m_stack.Pop(work)) {
            Visit(work, baseNames, currentNames);
            m_stack.Finished();
        }
    }

    void Problem(std::string_view path, const std::string& text) {
        ++m_problems;
        m_visitor.OnProblem(path, text);
    }

    // Opens and lists one side; -1 (reported) when it cannot be read.
    int OpenSide(const SnapshotTree& tree, const std::string& path, Listing& names) {
        const int fd = tree.OpenDirectory(path);
        if (fd < 0 || !names.Read(fd)) {
            Problem(path.empty() ? "/" : path, std::string("cannot read the directory in ") +
                                                   tree.Root() + ": " + std::strerror(errno));
            if (fd >= 0) ::close(fd);
            return -1;
        }
        return fd;
    }

    void Visit(const Work& work, Listing& baseNames, Listing& currentNames) {
        Work paired = work;
        // A rename's old path that is no directory in the base: compare with nothing.
        if (work.hasBase && work.basePath != work.currentPath) {
            const int probe = m_base.OpenDirectory(work.basePath);
            if (probe >= 0) ::close(probe);
            if (probe < 0 && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP))
                paired.hasBase = false;
        }
        Directory(paired, baseNames, currentNames);
    }

    void Directory(const Work& work, Listing& baseNames, Listing& currentNames) {
        int baseFd = -1;
        int currentFd = -1;
        if (work.hasBase) baseFd = OpenSide(m_base, work.basePath, baseNames);
        if (work.hasCurrent) currentFd = OpenSide(m_current, work.currentPath, currentNames);
        if ((work.hasBase && baseFd < 0) || (work.hasCurrent && currentFd < 0)) {
            if (baseFd >= 0) ::close(baseFd);
            if (currentFd >= 0) ::close(currentFd);
            return;
        }
        ++m_directories;
        const std::string& where = work.hasCurrent ? work.currentPath : work.basePath;
        const bool compared = SampledDirectory(where, m_options.samplePercent, m_options.seed);
        if (compared) ++m_compared;
        const size_t baseCount = work.hasBase ? baseNames.Size() : 0;
        const size_t currentCount = work.hasCurrent ? currentNames.Size() : 0;
        m_entries += baseCount + currentCount;

        std::string basePath;
        std::string currentPath;
        std::string baseForDirectory;
        size_t i = 0;
        size_t j = 0;
        while (i < baseCount || j < currentCount) {
            const Listing::Name* b = nullptr;
            const Listing::Name* c = nullptr;
            if (j >= currentCount) {
                b = &baseNames.At(i++);
            } else if (i >= baseCount) {
                c = &currentNames.At(j++);
            } else {
                const int order =
                    baseNames.View(baseNames.At(i)).compare(currentNames.View(currentNames.At(j)));
                if (order <= 0) b = &baseNames.At(i++);
                if (order >= 0) c = &currentNames.At(j++);
            }
            const std::string_view name = b ? baseNames.View(*b) : currentNames.View(*c);
            basePath.assign(work.basePath).append("/").append(name);
            currentPath.assign(work.currentPath).append("/").append(name);

            if (!compared) {
                if (b && c && IsDirectoryName(baseFd, baseNames, *b) &&
                    IsDirectoryName(currentFd, currentNames, *c))
                    m_stack.Push({basePath, currentPath, true, true});
                continue;
            }
            EntryState baseState;
            EntryState currentState;
            uint64_t baseDevice = m_base.Device();
            uint64_t currentDevice = m_current.Device();
            if (b && !Stat(baseFd, baseNames.CString(*b), basePath, baseState, baseDevice))
                continue;
            if (c && !Stat(currentFd, currentNames.CString(*c), currentPath, currentState,
                           currentDevice))
                continue;
            // A mount point inside a snapshot is not the snapshot's content.
            const bool baseDirectory =
                baseState.IsDirectory() && OnTree(baseDevice, m_base, basePath);
            const bool currentDirectory =
                currentState.IsDirectory() && OnTree(currentDevice, m_current, currentPath);
            baseForDirectory.clear();
            const unsigned bits = Differences(baseState, currentState, m_options.identity);
            if (bits != 0)
                m_visitor.OnDifference(basePath, currentPath, baseState, currentState, bits,
                                       baseForDirectory);
            if (currentDirectory && baseDirectory)
                m_stack.Push({basePath, currentPath, true, true});
            else if (currentDirectory)
                m_stack.Push({baseForDirectory, currentPath, !baseForDirectory.empty(), true});
        }
        if (baseFd >= 0) ::close(baseFd);
        if (currentFd >= 0) ::close(currentFd);
    }

    bool IsDirectoryName(int fd, const Listing& names, const Listing::Name& name) {
        if (name.type != DT_UNKNOWN) return name.type == DT_DIR;
        EntryState state;
        uint64_t device = 0;
        return StatAt(fd, names.CString(name), state, device) == 0 && state.IsDirectory();
    }

    bool Stat(int fd, const char* name, const std::string& path, EntryState& state,
              uint64_t& device) {
        const int error = StatAt(fd, name, state, device);
        if (error == 0) return true;
        Problem(path, std::string("cannot stat: ") + std::strerror(error));
        return false;
    }

    bool OnTree(uint64_t device, const SnapshotTree& tree, const std::string& path) {
        if (device == tree.Device()) return true;
        Problem(path, "another file system is mounted here; not walked");
        return false;
    }

    const SnapshotTree& m_base;
    const SnapshotTree& m_current;
    const WalkOptions& m_options;
    PairVisitor& m_visitor;
    WorkStack m_stack;
    std::atomic<uint64_t> m_entries{0};
    std::atomic<uint64_t> m_directories{0};
    std::atomic<uint64_t> m_compared{0};
    std::atomic<uint64_t> m_problems{0};
};

class CountingVisitor : public PairVisitor {
public:
    void OnDifference(std::string_view, std::string_view, const EntryState&, const EntryState&,
                      unsigned, std::string&) override {}
    void OnProblem(std::string_view, const std::string&) override {}
};

}  // namespace

bool EntryState::IsDirectory() const { return present && type == S_IFDIR; }

unsigned Differences(const EntryState& base, const EntryState& current, bool identity) {
    if (base.present != current.present) return kDiffPresence;
    if (!base.present) return 0;
    unsigned bits = 0;
    if (base.type != current.type) bits |= kDiffType;
    if (identity && base.inode != current.inode) bits |= kDiffInode;
    if (base.size != current.size) bits |= kDiffSize;
    if (base.mtime != current.mtime) bits |= kDiffMtime;
    if (identity && base.ctime != current.ctime) bits |= kDiffCtime;
    if (base.permissions != current.permissions) bits |= kDiffMode;
    if (base.uid != current.uid || base.gid != current.gid) bits |= kDiffOwner;
    // A directory's link count follows its subdirectories, which are compared themselves.
    if (base.type != S_IFDIR && base.links != current.links) bits |= kDiffLinks;
    return bits;
}

std::string DifferenceText(unsigned bits, const EntryState& current) {
    if (bits & kDiffPresence) return current.present ? "added" : "removed";
    std::string text;
    const std::pair<unsigned, const char*> names[] = {
        {kDiffType, "type"},   {kDiffInode, "inode"}, {kDiffSize, "size"},   {kDiffMtime, "mtime"},
        {kDiffCtime, "ctime"}, {kDiffMode, "mode"},   {kDiffOwner, "owner"}, {kDiffLinks, "links"}};
    for (const auto& [bit, name] : names) {
        if ((bits & bit) == 0) continue;
        if (!text.empty()) text += '+';
        text += name;
    }
    return text;
}

PairVisitor::~PairVisitor() = default;

SnapshotTree::~SnapshotTree() {
    if (m_fd >= 0) ::close(m_fd);
}

bool SnapshotTree::Open(const std::string& root, std::string& error) {
    m_root = root;
    m_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statx info;
    if (m_fd < 0 || ::statx(m_fd, "", AT_EMPTY_PATH, STATX_TYPE, &info) != 0) {
        error = "cannot open " + root + ": " + std::strerror(errno);
        return false;
    }
    m_device = DeviceOf(info);
    return true;
}

int SnapshotTree::OpenDirectory(std::string_view path) const {
    const std::string relative = Relative(path);
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, m_fd, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);

    // No openat2: one component at a time, none of them a link, none elsewhere.
    int current = ::dup(m_fd);
    size_t start = 0;
    while (current >= 0 && relative != "." && start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (part == "..") {
            ::close(current);
            errno = EXDEV;
            return -1;
        }
        const int next =
            ::openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(current);
        struct statx info;
        if (next >= 0 && (::statx(next, "", AT_EMPTY_PATH, STATX_TYPE, &info) != 0 ||
                          DeviceOf(info) != m_device)) {
            ::close(next);
            errno = EXDEV;
            return -1;
        }
        errno = saved;
        current = next;
    }
    return current;
}

bool SnapshotTree::Lookup(std::string_view path, EntryState& state, std::string& error) const {
    state = EntryState();
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.empty()) {
        uint64_t device = 0;
        const int failure = StatAt(m_fd, "", state, device);
        if (failure == 0 && state.present) return true;
        error = std::string("cannot stat the root: ") + std::strerror(failure);
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string_view parent = slash == std::string_view::npos ? "" : path.substr(0, slash);
    const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (name.empty() || name == "." || name == "..") {
        error = "not a path below the snapshot";
        return false;
    }
    const int fd = OpenDirectory(parent);
    if (fd < 0) {
        // No directory there (or a file, or a link, in its place): nothing is
        // at the path in this snapshot.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return true;
        error = std::string("cannot open its directory: ") + std::strerror(errno);
        return false;
    }
    uint64_t device = 0;
    const int failure = StatAt(fd, name.c_str(), state, device);
    ::close(fd);
    if (failure != 0) {
        error = std::string("cannot stat: ") + std::strerror(failure);
        return false;
    }
    return true;
}

bool SampledDirectory(std::string_view path, double percent, uint64_t seed) {
    if (percent >= 100) return true;
    if (percent <= 0) return false;
    // FNV-1a of the path, then a splitmix64 finish mixing in the seed: the same
    // directories for the same seed on every run and host.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    hash += seed + 0x9e3779b97f4a7c15ULL;
    hash = (hash ^ (hash >> 30)) * 0xbf58476d1ce4e5b9ULL;
    hash = (hash ^ (hash >> 27)) * 0x94d049bb133111ebULL;
    hash ^= hash >> 31;
    return static_cast<double>(hash % 1000000) < percent * 10000;
}

bool SnapshotsKeepIdentity(const SnapshotTree& base, const SnapshotTree& current) {
    bool candidates = false;
    std::vector<std::string> directories = {""};
    for (size_t level = 0; level < 2; ++level) {
        std::vector<std::string> below;
        for (const std::string& directory : directories) {
            const int fd = current.OpenDirectory(directory);
            if (fd < 0) continue;
            Listing names;
            const bool listed = names.Read(fd);
            ::close(fd);
            if (!listed) continue;
            for (size_t i = 0; i < names.Size(); ++i) {
                const std::string path = directory + "/" + std::string(names.View(names.At(i)));
                EntryState now;
                EntryState before;
                std::string error;
                if (!current.Lookup(path, now, error) || !base.Lookup(path, before, error))
                    continue;
                if (now.IsDirectory() && before.IsDirectory()) below.push_back(path);
                if (now.type != S_IFREG || before.type != S_IFREG || now.size != before.size ||
                    now.mtime != before.mtime)
                    continue;
                if (now.inode == before.inode) return true;
                candidates = true;
            }
        }
        directories = std::move(below);
    }
    return !candidates;
}

WalkStats WalkSnapshotPair(const SnapshotTree& base, const SnapshotTree& current,
                           const WalkOptions& options, PairVisitor& visitor) {
    Walker walker(base, current, options, visitor);
    return walker.Run({"", "", true, true});
}

uint64_t StatWalk(const SnapshotTree& tree, unsigned threads) {
    CountingVisitor visitor;
    WalkOptions options;
    options.threads = threads;
    Walker walker(tree, tree, options, visitor);
    return walker.Run({"", "", false, true}).entries;
}

}  // namespace snapscan
