#include "tools/arraysim/snapshot_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

namespace arraysim {

namespace {

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void CopyTimes(const struct stat& st, const std::string& to) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool CopyFileContent(const std::string& from, const std::string& to, mode_t mode,
                     std::string& error) {
    std::error_code ec;
    if (!std::filesystem::copy_file(from, to, ec)) {
        error = "cannot copy " + from + " to " + to + ": " + ec.message();
        return false;
    }
    chmod(to.c_str(), mode & 07777);
    return true;
}

}  // namespace

bool EnsureSnapshotRoot(const std::string& localDir, CtimeFixups& fixups, std::string& error) {
    std::string snapRoot = localDir + "/.snapshot";
    struct stat before;
    if (lstat(snapRoot.c_str(), &before) == 0) return true;
    if (lstat(localDir.c_str(), &before) != 0) {
        error = Errno("cannot stat", localDir);
        return false;
    }
    if (mkdir(snapRoot.c_str(), 0755) != 0) {
        error = Errno("cannot create", snapRoot);
        return false;
    }
    CopyTimes(before, localDir);
    struct stat after;
    if (lstat(localDir.c_str(), &after) == 0) {
        uint64_t ino = static_cast<uint64_t>(after.st_ino);
        FileTime was{before.st_ctim.tv_sec, before.st_ctim.tv_nsec};
        auto old = fixups.find(ino);
        if (old != fixups.end() && old->second.first == was) was = old->second.second;
        (fixups)[ino] = {FileTime{after.st_ctim.tv_sec, after.st_ctim.tv_nsec}, was};
    }
    return true;
}

namespace {

// The copies of files with several links, by the original's device and inode: a
// snapshot shows a hard-linked file as one file at each of its paths.
using CopiedLinks = std::map<std::pair<dev_t, ino_t>, std::string>;

bool CopyTreeLinked(const std::string& from, const std::string& to, CopiedLinks& links,
                    std::string& error) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
        error = Errno("cannot stat", from);
        return false;
    }
    if (mkdir(to.c_str(), 0700) != 0) {
        error = Errno("cannot create", to);
        return false;
    }
    DIR* dir = opendir(from.c_str());
    if (!dir) {
        error = Errno("cannot read directory", from);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name != "." && name != ".." && name != ".snapshot") names.push_back(std::move(name));
    }
    closedir(dir);
    for (const auto& name : names) {
        std::string src = from + "/" + name, dst = to + "/" + name;
        struct stat cst;
        if (lstat(src.c_str(), &cst) != 0) {
            if (errno == ENOENT) continue;
            error = Errno("cannot stat", src);
            return false;
        }
        if (S_ISDIR(cst.st_mode)) {
            if (!CopyTreeLinked(src, dst, links, error)) return false;
            continue;
        }
        if (S_ISREG(cst.st_mode)) {
            const auto copied = links.find({cst.st_dev, cst.st_ino});
            if (copied != links.end()) {
                if (link(copied->second.c_str(), dst.c_str()) != 0) {
                    error = Errno("cannot link", dst);
                    return false;
                }
                continue;
            }
            if (!CopyFileContent(src, dst, cst.st_mode, error)) return false;
            if (cst.st_nlink > 1) links[{cst.st_dev, cst.st_ino}] = dst;
        } else if (S_ISLNK(cst.st_mode)) {
            std::vector<char> target(static_cast<size_t>(cst.st_size) + 1);
            ssize_t n = readlink(src.c_str(), target.data(), target.size());
            if (n < 0 || symlink(std::string(target.data(), static_cast<size_t>(n)).c_str(),
                                 dst.c_str()) != 0) {
                error = Errno("cannot copy symlink", src);
                return false;
            }
        } else if (S_ISFIFO(cst.st_mode)) {
            if (mkfifo(dst.c_str(), cst.st_mode & 07777) != 0) {
                error = Errno("cannot create fifo", dst);
                return false;
            }
        } else {
            continue;
        }
        CopyTimes(cst, dst);
    }
    chmod(to.c_str(), st.st_mode & 07777);
    CopyTimes(st, to);
    return true;
}

}  // namespace

bool CopyTree(const std::string& from, const std::string& to, std::string& error) {
    CopiedLinks links;
    return CopyTreeLinked(from, to, links, error);
}

bool RemoveTree(const std::string& path, std::string& error) {
    std::error_code ec;
    // Copies of read-only directories cannot be emptied until they are writable again.
    chmod(path.c_str(), 0700);
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
    }
    ec.clear();
    std::filesystem::remove_all(path, ec);
    if (ec) {
        error = "cannot remove " + path + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace arraysim
