// Credential lookup from credentials.ini. The file holds passwords, so it is
// refused unless only its owner can reach it, and no value of it is ever logged
// except the names of sections and keys.
#include "host/NASSnapUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/FXString.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "platform/ini_file.h"

namespace {

std::string CredentialsPath() { return HostConfig::ConfigDir() + "/credentials.ini"; }

// A password file larger than this is not a credentials file.
constexpr off_t kMaxCredentialsBytes = 1 << 20;

// True when the file at path can be trusted; false with why not in reason.
// Checked on the open descriptor, so that the file read is the file checked.
bool Trusted(int fd, const std::string& path, std::string& reason) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        reason = std::string("cannot be examined: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "is not a regular file";
        return false;
    }
    if (info.st_uid != geteuid()) {
        reason = "is owned by user " + std::to_string(info.st_uid) + ", not by the user running (" +
                 std::to_string(geteuid()) + ")";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        reason = std::string("has mode ") + mode +
                 " and can be reached by group or others (make it chmod 600)";
        return false;
    }
    if (info.st_size > kMaxCredentialsBytes) {
        reason = "is larger than 1 MiB";
        return false;
    }
    // Whoever can write the directory can replace the file between two runs.
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    struct stat parent;
    if (stat(directory.c_str(), &parent) != 0) {
        reason = "is in a directory that cannot be examined: " + std::string(strerror(errno));
        return false;
    }
    if ((parent.st_mode & S_IWOTH) != 0 && (parent.st_mode & S_ISVTX) == 0) {
        reason = "is in directory " + directory + ", which others can write";
        return false;
    }
    if ((parent.st_mode & S_IWOTH) != 0 || (parent.st_uid != geteuid() && parent.st_uid != 0)) {
        reason =
            "is in directory " + directory + ", which is not owned by the user running or root";
        return false;
    }
    return true;
}

// Reads and parses the file when it is safe to read. Failures are logged at -1
// and returned in problem (file, line and reason, never a value).
bool LoadCredentials(snaphost::IniTree& tree, std::string& path, std::string& problem) {
    path = CredentialsPath();
    // Not through a link, and without blocking: a FIFO in its place must not
    // hang the job.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        problem = path + ": cannot be opened: " + strerror(errno);
        SNAP_LOG(-1, "Credentials file [%s] cannot be opened: %s", path.c_str(), strerror(errno));
        return false;
    }
    std::string distrust;
    if (!Trusted(fd, path, distrust)) {
        problem = path + ": " + distrust + "; refused";
        SNAP_LOG(-1, "Credentials file [%s] %s; refused", path.c_str(), distrust.c_str());
        close(fd);
        return false;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const int reason = errno;
            problem = path + ": cannot be read: " + strerror(reason);
            SNAP_LOG(-1, "Credentials file [%s] cannot be read: %s", path.c_str(),
                     strerror(reason));
            close(fd);
            return false;
        }
        content.append(buffer, static_cast<size_t>(got));
        if (content.size() > static_cast<size_t>(kMaxCredentialsBytes)) {
            problem = path + ": is larger than 1 MiB; refused";
            SNAP_LOG(-1, "Credentials file [%s] is larger than 1 MiB; refused", path.c_str());
            close(fd);
            return false;
        }
    }
    close(fd);
    std::string reason;
    if (!snaphost::ParseIni(content, tree, reason)) {
        // The reader's message names a line and a key, never a value.
        problem = path + ": " + reason;
        SNAP_LOG(-1, "Credentials file [%s] cannot be parsed: %s", path.c_str(), reason.c_str());
        return false;
    }
    return true;
}

// The connection options of one entry. False, with the key and the rule it
// breaks in problem (and logged at -1), when a value is not one the key takes.
bool ParseOptions(const snaphost::IniTree& tree, const std::string& section,
                  const std::string& path, ArrayConnectionOptions& options, std::string& problem) {
    const auto refuse = [&](const std::string& key, const std::string& rule) {
        problem = path + ": key [" + key + "] of [" + section + "] " + rule;
        SNAP_LOG(-1, "Key [%s] of [%s] in [%s] %s", key.c_str(), section.c_str(), path.c_str(),
                 rule.c_str());
        return false;
    };
    ArrayConnectionOptions parsed;
    std::string text;
    if (snaphost::LookupIni(tree, section, "caFile", text)) parsed.caFile = text;
    if (snaphost::LookupIni(tree, section, "pinnedPublicKey", text)) parsed.pinnedPublicKey = text;
    if (snaphost::LookupIni(tree, section, "insecure", text)) {
        int value = 0;
        if (!snaphost::ParseIniInt(text, value) || (value != 0 && value != 1))
            return refuse("insecure", "must be 0 or 1");
        parsed.insecure = value == 1;
    }
    if (snaphost::LookupIni(tree, section, "auth", text)) {
        if (FXString::CompareNoCase(text, "basic") == 0) {
            parsed.basicAuth = true;
        } else if (FXString::CompareNoCase(text, "session") != 0) {
            return refuse("auth", "must be session or basic");
        }
    }
    struct {
        const char* key;
        long* field;
    } const timeouts[] = {{"connectTimeoutSeconds", &parsed.connectTimeoutSeconds},
                          {"lowSpeedTimeSeconds", &parsed.lowSpeedTimeSeconds}};
    for (const auto& timeout : timeouts) {
        if (!snaphost::LookupIni(tree, section, timeout.key, text)) continue;
        int value = 0;
        if (!snaphost::ParseIniInt(text, value) || value <= 0)
            return refuse(timeout.key, "must be a positive number of seconds");
        *timeout.field = value;
    }
    options = parsed;
    return true;
}

bool SameOptions(const ArrayConnectionOptions& a, const ArrayConnectionOptions& b) {
    return a.caFile == b.caFile && a.pinnedPublicKey == b.pinnedPublicKey &&
           a.insecure == b.insecure && a.basicAuth == b.basicAuth &&
           a.connectTimeoutSeconds == b.connectTimeoutSeconds &&
           a.lowSpeedTimeSeconds == b.lowSpeedTimeSeconds;
}

// The entry of clientId: file server, user and password (text0 = its section).
bool ReadEntry(const snaphost::IniTree& tree, const std::string& path, int clientId,
               _NASArrayInfo& info, std::string& problem) {
    // The agent's client ids are unsigned 32-bit numbers handed over in an int.
    const std::string section =
        "client " + std::to_string(static_cast<uint32_t>(static_cast<unsigned int>(clientId)));
    std::string fileServer, user, password;
    const bool hasServer = snaphost::LookupIni(tree, section, "fileServer", fileServer);
    const bool hasUser = snaphost::LookupIni(tree, section, "user", user);
    const bool hasPassword = snaphost::LookupIni(tree, section, "password", password);
    if (tree.sections.count(section) == 0) {
        problem = path + ": no section [" + section + "]";
        SNAP_LOG(-1, "Credentials file [%s] has no section [%s]", path.c_str(), section.c_str());
        return false;
    }
    if (!hasServer || fileServer.empty() || !hasUser || user.empty() || !hasPassword) {
        const char* missing = (!hasServer || fileServer.empty()) ? "fileServer"
                              : (!hasUser || user.empty())       ? "user"
                                                                 : "password";
        problem = path + ": section [" + section + "] lacks " + missing;
        SNAP_LOG(-1, "Section [%s] of credentials file [%s] lacks %s", section.c_str(),
                 path.c_str(), missing);
        return false;
    }
    info.Clear();
    info.text0 = section;
    info.fileServer = fileServer;
    info.userName = user;
    info.password = password;
    SNAP_LOG(1, "Credentials of [%s]: file server [%s], user [%s]", section.c_str(),
             fileServer.c_str(), user.c_str());
    return true;
}

}  // namespace

NASSnapUtil::NASSnapUtil() = default;

NASSnapUtil::~NASSnapUtil() = default;

CRwError NASSnapUtil::Initialize() { return CRwError::Success(); }

bool NASSnapUtil::GetArrayNameAndCredentialsByClientId(int& clientId, _NASArrayInfo& info) {
    snaphost::IniTree tree;
    std::string path;
    std::string problem;
    if (!LoadCredentials(tree, path, problem)) return false;
    return ReadEntry(tree, path, clientId, info, problem);
}

bool NASSnapUtil::GetArrayConnectionOptions(const std::string& section,
                                            const std::string& fileServer,
                                            ArrayConnectionOptions& options) {
    snaphost::IniTree tree;
    std::string path;
    std::string problem;
    if (!LoadCredentials(tree, path, problem)) return false;
    if (!section.empty()) {
        // The options of the job's own entry, and of no other: another client's
        // entry for the same array may say insecure = 1.
        std::string server;
        if (!snaphost::LookupIni(tree, section, "fileServer", server) || server != fileServer) {
            SNAP_LOG(-1, "Credentials file [%s] has no section [%s] for file server [%s]",
                     path.c_str(), section.c_str(), fileServer.c_str());
            return false;
        }
        return ParseOptions(tree, section, path, options, problem);
    }
    // Without an entry name, every entry of the file server must agree, or the
    // choice would depend on the order of the file.
    bool found = false;
    ArrayConnectionOptions chosen;
    for (const std::string& name : tree.order) {
        std::string server;
        if (!FXString::MatchLeft(name, "client ") ||
            !snaphost::LookupIni(tree, name, "fileServer", server) || server != fileServer) {
            continue;
        }
        ArrayConnectionOptions parsed;
        if (!ParseOptions(tree, name, path, parsed, problem)) return false;
        if (found && !SameOptions(parsed, chosen)) {
            SNAP_LOG(-1,
                     "Credentials file [%s] gives file server [%s] different connection options "
                     "in different sections, and the section to use is not known; refused",
                     path.c_str(), fileServer.c_str());
            return false;
        }
        chosen = parsed;
        found = true;
    }
    if (!found) {
        SNAP_LOG(-1, "Credentials file [%s] has no entry for file server [%s]", path.c_str(),
                 fileServer.c_str());
        return false;
    }
    options = chosen;
    return true;
}

bool NASSnapUtil::CheckCredentials(int clientId, std::string& problem) {
    snaphost::IniTree tree;
    std::string path;
    if (!LoadCredentials(tree, path, problem)) return false;
    _NASArrayInfo info;
    if (!ReadEntry(tree, path, clientId, info, problem)) return false;
    ArrayConnectionOptions options;
    return ParseOptions(tree, info.text0, path, options, problem);
}
