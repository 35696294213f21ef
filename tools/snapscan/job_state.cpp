#include "tools/snapscan/job_state.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/PrivateFiles.h"

namespace snapscan {

namespace {

// A state file is a few hundred bytes; anything much larger is not one.
constexpr size_t kMaxStateBytes = 64 * 1024;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string ContentName(uint32_t clientId, uint32_t subclientId) {
    return "client-" + std::to_string(clientId) + "-subclient-" + std::to_string(subclientId);
}

std::string HomeDirectory() {
    std::string home = Environment("HOME");
    if (!home.empty()) return home;
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr)
        home = found->pw_dir;
    return home;
}

// The user's own state directory, whatever SNAPSCAN_STATE_DIR says.
std::string UserStateDirectory() {
    if (geteuid() == 0) return "/var/lib/snapscan";
    const std::string xdg = Environment("XDG_STATE_HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg + "/snapscan";
    const std::string home = HomeDirectory();
    if (home.empty() || home[0] != '/') return std::string();
    return home + "/.local/state/snapscan";
}

// Creates the directory when needed and checks that it can be trusted.
bool EnsureDirectory(const std::string& directory, const char* what, std::string& error) {
    if (directory.empty()) {
        error = std::string("no ") + what +
                " directory: no home directory is known; set SNAPSCAN_STATE_DIR";
        return false;
    }
    std::string problem;
    if (!privatefiles::MakeDirectories(directory, problem)) {
        error =
            std::string("cannot create the ") + what + " directory " + directory + ": " + problem;
        return false;
    }
    problem = DistrustDirectory(directory);
    if (!problem.empty()) {
        error =
            std::string("the ") + what + " directory " + directory + " " + problem + "; refused";
        return false;
    }
    return true;
}

// Why an open file of ours cannot be trusted, or "".
std::string DistrustFile(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) return std::string("cannot be examined: ") + strerror(errno);
    if (!S_ISREG(info.st_mode)) return "is not a regular file";
    if (info.st_uid != geteuid()) return "belongs to user " + std::to_string(info.st_uid);
    if ((info.st_mode & 022) != 0) return "can be written by group or others";
    return std::string();
}

bool SyncDirectory(const std::string& directory, std::string& error) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        error = "cannot sync the state directory " + directory + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

std::string DistrustDirectory(const std::string& directory) {
    struct stat info;
    if (lstat(directory.c_str(), &info) != 0)
        return std::string("cannot be examined: ") + strerror(errno);
    if (S_ISLNK(info.st_mode)) {
        // A link the user made to a directory of their own is fine; judge its target.
        if (stat(directory.c_str(), &info) != 0)
            return std::string("cannot be examined: ") + strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) return "is not a directory";
    if (info.st_uid != geteuid() && info.st_uid != 0)
        return "belongs to user " + std::to_string(info.st_uid);
    if ((info.st_mode & 022) != 0) return "can be written by group or others";
    return std::string();
}

std::string JobStateStore::DefaultDirectory() {
    const std::string directory = Environment("SNAPSCAN_STATE_DIR");
    if (!directory.empty()) return directory;
    return UserStateDirectory();
}

std::string JobStateStore::StatePath(uint32_t clientId, uint32_t subclientId) const {
    return m_directory + "/" + ContentName(clientId, subclientId) + ".json";
}

bool JobStateStore::Load(uint32_t clientId, uint32_t subclientId, ContentState& state,
                         std::string& error) const {
    state = ContentState();
    const std::string path = StatePath(clientId, subclientId);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            // No job yet, provided the directory is one that nobody else could
            // have emptied.
            struct stat info;
            if (stat(m_directory.c_str(), &info) != 0) return true;
            const std::string distrust = DistrustDirectory(m_directory);
            if (distrust.empty()) return true;
            error = "the state directory " + m_directory + " " + distrust + "; refused";
            return false;
        }
        error = "cannot read the job state " + path + ": " + strerror(errno);
        return false;
    }
    std::string problem = DistrustFile(fd);
    if (problem.empty()) problem = DistrustDirectory(m_directory);
    std::string text;
    if (problem.empty()) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got == 0) break;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                problem = std::string("cannot be read: ") + strerror(errno);
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
            if (text.size() > kMaxStateBytes) {
                problem = "is too large to be a job state";
                break;
            }
        }
    }
    close(fd);
    if (!problem.empty()) {
        error = "the job state " + path + " " + problem + "; refused";
        return false;
    }
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    const auto readId = [&](const char* key, int64_t& id) {
        auto it = record.find(key);
        if (it == record.end() || !it->is_number_integer() || it->get<int64_t>() < 0) return false;
        id = it->get<int64_t>();
        return true;
    };
    // The times and the outcome came later: a state without them is still whole.
    const auto readText = [&](const char* key, std::string& text) {
        auto it = record.find(key);
        if (it == record.end()) return true;
        if (!it->is_string()) return false;
        text = it->get<std::string>();
        return true;
    };
    bool extrasOk = record.is_object() && readText("lastStartedAt", state.lastStartedAt) &&
                    readText("lastFinishedAt", state.lastFinishedAt) &&
                    readText("baseDeliveredAt", state.baseDeliveredAt);
    if (extrasOk && record.contains("lastStatus")) {
        const auto& status = record["lastStatus"];
        extrasOk = status.is_number_integer() && status.get<int64_t>() >= -1 &&
                   status.get<int64_t>() <= 255;
        if (extrasOk) state.lastStatus = status.get<int>();
    }
    if (!extrasOk || !readId("lastIssuedJobId", state.lastIssuedJobId) ||
        !readId("baseJobId", state.baseJobId) || state.baseJobId > state.lastIssuedJobId) {
        state = ContentState();
        error = "the job state " + path +
                " is damaged; repair it or remove it (the next job is then a full job)";
        return false;
    }
    return true;
}

bool JobStateStore::Save(uint32_t clientId, uint32_t subclientId, const ContentState& state,
                         std::string& error) const {
    if (!EnsureDirectory(m_directory, "state", error)) return false;
    const std::string path = StatePath(clientId, subclientId);
    const std::string temporary = path + ".tmp";
    const nlohmann::json record = {{"clientId", clientId},
                                   {"subclientId", subclientId},
                                   {"lastIssuedJobId", state.lastIssuedJobId},
                                   {"baseJobId", state.baseJobId},
                                   {"lastStartedAt", state.lastStartedAt},
                                   {"lastFinishedAt", state.lastFinishedAt},
                                   {"lastStatus", state.lastStatus},
                                   {"baseDeliveredAt", state.baseDeliveredAt}};
    const std::string text = record.dump(2) + "\n";
    // A leftover of a run that died, or anything planted in its place, goes:
    // the new file is created afresh and never through a link.
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        error = "cannot replace " + temporary + ": " + strerror(errno);
        return false;
    }
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && fchmod(fd, 0600) == 0;
    size_t done = 0;
    while (written && done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0)
            written = false;
        else
            done += static_cast<size_t>(wrote);
    }
    // The rename must not publish a file whose content is not on disk yet: a
    // crash would leave an empty state, and the ids would start again.
    if (written && fsync(fd) != 0) written = false;
    const int reason = errno;
    if (fd >= 0 && close(fd) != 0) written = false;
    if (!written) {
        error = "cannot write the job state " + temporary + ": " + strerror(reason);
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace the job state " + path + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return SyncDirectory(m_directory, error);
}

std::string ContentLock::DefaultDirectory() {
    const std::string directory = Environment("SNAPSCAN_LOCK_DIR");
    if (!directory.empty()) return directory;
    if (geteuid() == 0) return "/run/lock/snapscan";
    const std::string runtime = Environment("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/') return runtime + "/snapscan";
    const std::string state = UserStateDirectory();
    return state.empty() ? state : state + "/locks";
}

ContentLock::~ContentLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing drops the flock
}

bool ContentLock::Acquire(uint32_t clientId, uint32_t subclientId, std::string& error) {
    const std::string directory = DefaultDirectory();
    if (!EnsureDirectory(directory, "lock", error)) return false;
    const std::string path = directory + "/" + ContentName(clientId, subclientId) + ".lock";
    const int fd = privatefiles::OpenPrivate(path, O_RDWR);
    if (fd < 0) {
        error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string distrust = DistrustFile(fd);
    if (!distrust.empty()) {
        ::close(fd);
        error = "the lock file " + path + " " + distrust + "; refused";
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::close(fd);
        error = saved == EWOULDBLOCK
                    ? "another snapscan run of client " + std::to_string(clientId) + " subclient " +
                          std::to_string(subclientId) + " holds " + path
                    : "cannot lock " + path + ": " + std::strerror(saved);
        return false;
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
    return true;
}

}  // namespace snapscan
