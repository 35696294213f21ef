#pragma once

// Creation of the files and directories the host writes (logs, events, job
// state, results, map files) with owner-only modes whatever the process umask.
// A map file another local user can write would let that user choose where the
// backup reads a share from; a world-writable log could be forged.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace privatefiles {

// Creates `path` and its missing parents as directories of `mode` (0700 by
// default). Existing directories keep their mode. False with errno's text.
inline bool MakeDirectories(const std::string& path, std::string& error, mode_t mode = 0700) {
    if (path.empty()) {
        error = "an empty directory name";
        return false;
    }
    std::string partial;
    size_t position = 0;
    while (position <= path.size()) {
        size_t slash = path.find('/', position);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        position = slash + 1;
        if (partial.empty() || partial.back() == '/') continue;
        if (::mkdir(partial.c_str(), mode) == 0) {
            // mkdir honours the umask; the mode must not depend on it.
            if (::chmod(partial.c_str(), mode) != 0) {
                error = partial + ": " + std::strerror(errno);
                return false;
            }
            continue;
        }
        const int reason = errno;
        struct stat info;
        if (reason == EEXIST && ::stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            continue;
        error = partial + ": " + std::strerror(reason == EEXIST ? ENOTDIR : reason);
        return false;
    }
    return true;
}

// Opens `path` with `flags` (O_CREAT is added), never through a symbolic link;
// a file it creates gets `mode` exactly. -1 with errno set on failure.
inline int OpenPrivate(const std::string& path, int flags, mode_t mode = 0600) {
    const int common = flags | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), common | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
        if (::fchmod(fd, mode) != 0) {
            const int reason = errno;
            ::close(fd);
            errno = reason;
            return -1;
        }
        return fd;
    }
    if (errno != EEXIST) return -1;
    return ::open(path.c_str(), common & ~O_EXCL);
}

}  // namespace privatefiles
