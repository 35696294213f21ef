#include "tools/arraysim/manifest.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <tuple>

namespace arraysim {

namespace {

const char* const kTypeTexts[] = {"regular", "directory",   "symlink",      "fifo",
                                  "socket",  "char device", "block device", "unknown"};

}  // namespace

const char* FileTypeText(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return kTypeTexts[0];
        case S_IFDIR:
            return kTypeTexts[1];
        case S_IFLNK:
            return kTypeTexts[2];
        case S_IFIFO:
            return kTypeTexts[3];
        case S_IFSOCK:
            return kTypeTexts[4];
        case S_IFCHR:
            return kTypeTexts[5];
        case S_IFBLK:
            return kTypeTexts[6];
        default:
            return kTypeTexts[7];
    }
}

namespace {

// A number for each of FileTypeText's texts.
uint32_t TypeCode(const std::string& type) {
    for (uint32_t code = 0; code < std::size(kTypeTexts); ++code) {
        if (type == kTypeTexts[code]) return code;
    }
    return kCompareEntries;
}

bool FitsKey(const FileTime& time) { return time.nsec >= 0 && time.nsec <= 0xffffffffLL; }

}  // namespace

std::vector<PlaceKey> PlaceKeys(const Manifest& manifest) {
    std::vector<PlaceKey> keys;
    keys.reserve(manifest.size());
    for (const ManifestEntry& e : manifest) {
        PlaceKey k;
        k.inode = e.inode;
        k.parentInode = e.parentInode;
        k.nameHash = e.nameHash;
        k.size = e.size;
        k.mtimeSec = e.mtime.sec;
        k.ctimeSec = e.ctime.sec;
        k.mtimeNsec = static_cast<uint32_t>(e.mtime.nsec);
        k.ctimeNsec = static_cast<uint32_t>(e.ctime.nsec);
        k.typeCode = FitsKey(e.mtime) && FitsKey(e.ctime) ? TypeCode(e.type) : kCompareEntries;
        keys.push_back(k);
    }
    return keys;
}

uint64_t NameHash(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    uint64_t hash = 14695981039346656037ull;
    for (const char c : path) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

namespace {

ManifestEntry EntryFromStat(const struct stat& st, uint64_t parentInode, const std::string& ifsPath,
                            const CtimeFixups& fixups) {
    ManifestEntry e;
    e.inode = static_cast<uint64_t>(st.st_ino);
    e.parentInode = parentInode;
    e.path = ifsPath;
    e.nameHash = NameHash(ifsPath);
    e.type = FileTypeText(st.st_mode);
    e.size = static_cast<int64_t>(st.st_size);
    e.atime = {st.st_atim.tv_sec, st.st_atim.tv_nsec};
    e.ctime = {st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    e.mtime = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    auto fix = fixups.find(e.inode);
    if (fix != fixups.end() && fix->second.first == e.ctime) e.ctime = fix->second.second;
    return e;
}

bool ScanDir(const std::string& local, uint64_t inode, const std::string& ifs,
             const CtimeFixups& fixups, Manifest& out, std::string& error) {
    DIR* dir = opendir(local.c_str());
    if (!dir) {
        error = "cannot read directory " + local + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == ".." || name == ".snapshot") continue;
        names.push_back(std::move(name));
    }
    closedir(dir);
    for (const auto& name : names) {
        std::string childLocal = local + "/" + name;
        struct stat st;
        if (lstat(childLocal.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;  // removed while we scanned
            error = "cannot stat " + childLocal + ": " + std::strerror(errno);
            return false;
        }
        out.push_back(EntryFromStat(st, inode, ifs + "/" + name, fixups));
        if (S_ISDIR(st.st_mode) && !ScanDir(childLocal, static_cast<uint64_t>(st.st_ino),
                                            ifs + "/" + name, fixups, out, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ScanManifest(const std::string& localDir, const std::string& ifsDir, const CtimeFixups& fixups,
                  Manifest& out, std::string& error) {
    out.clear();
    struct stat st;
    if (lstat(localDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "not a directory: " + localDir;
        return false;
    }
    out.push_back(EntryFromStat(st, 0, ifsDir, fixups));
    if (!ScanDir(localDir, static_cast<uint64_t>(st.st_ino), ifsDir, fixups, out, error))
        return false;
    std::sort(out.begin(), out.end(), [](const ManifestEntry& a, const ManifestEntry& b) {
        return std::tie(a.inode, a.path) < std::tie(b.inode, b.path);
    });
    return true;
}

}  // namespace arraysim
