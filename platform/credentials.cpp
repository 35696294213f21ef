// Credential lookup from credentials.ini. The file holds passwords, so it is
// refused unless only its owner can reach it, and no value of it is ever logged
// except the names of sections and keys.
#include "host/NASSnapUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "common/FXString.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "platform/ini_file.h"

namespace {

std::string CredentialsPath() { return HostConfig::ConfigDir() + "/credentials.ini"; }

// Reads and parses the file when it is safe to read. Failures are logged at -1.
bool LoadCredentials(boost::property_tree::ptree& tree, std::string& path) {
    path = CredentialsPath();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int reason = errno;
        SNAP_LOG(-1, "Credentials file [%s] cannot be opened: %s", path.c_str(), strerror(reason));
        return false;
    }
    // Checked on the open descriptor, so the file read is the file checked.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        SNAP_LOG(-1, "Credentials file [%s] is not a regular file; refused", path.c_str());
        close(fd);
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        SNAP_LOG(-1,
                 "Credentials file [%s] has mode %04o and can be reached by group or others; "
                 "refused (make it chmod 600)",
                 path.c_str(), static_cast<unsigned>(info.st_mode & 07777));
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
            SNAP_LOG(-1, "Credentials file [%s] cannot be read: %s", path.c_str(), strerror(reason));
            close(fd);
            return false;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    std::istringstream in(content);
    std::string problem;
    if (!snaphost::ParseIni(in, tree, problem)) {
        // The parser's message names a line, never its text.
        SNAP_LOG(-1, "Credentials file [%s] cannot be parsed: %s", path.c_str(), problem.c_str());
        return false;
    }
    return true;
}

bool ParseOptions(const boost::property_tree::ptree& tree, const std::string& section,
                  const std::string& path, ArrayConnectionOptions& options) {
    ArrayConnectionOptions parsed;
    std::string text;
    if (snaphost::LookupIni(tree, section, "caFile", text)) parsed.caFile = text;
    if (snaphost::LookupIni(tree, section, "pinnedPublicKey", text)) parsed.pinnedPublicKey = text;
    if (snaphost::LookupIni(tree, section, "insecure", text)) {
        int value = 0;
        if (!snaphost::ParseIniInt(text, value) || (value != 0 && value != 1)) {
            SNAP_LOG(-1, "Key [insecure] of [%s] in [%s] must be 0 or 1", section.c_str(),
                     path.c_str());
            return false;
        }
        parsed.insecure = value == 1;
    }
    if (snaphost::LookupIni(tree, section, "auth", text)) {
        if (FXString::CompareNoCase(text, "basic") == 0) {
            parsed.basicAuth = true;
        } else if (FXString::CompareNoCase(text, "session") != 0) {
            SNAP_LOG(-1, "Key [auth] of [%s] in [%s] must be session or basic", section.c_str(),
                     path.c_str());
            return false;
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
        if (!snaphost::ParseIniInt(text, value) || value <= 0) {
            SNAP_LOG(-1, "Key [%s] of [%s] in [%s] must be a positive number of seconds",
                     timeout.key, section.c_str(), path.c_str());
            return false;
        }
        *timeout.field = value;
    }
    options = parsed;
    return true;
}

}  // namespace

NASSnapUtil::NASSnapUtil() = default;

NASSnapUtil::~NASSnapUtil() = default;

CRwError NASSnapUtil::Initialize() { return CRwError::Success(); }

bool NASSnapUtil::GetArrayNameAndCredentialsByClientId(int& clientId, _NASArrayInfo& info) {
    // The agent's client ids are unsigned 32-bit numbers handed over in an int.
    const std::string section =
        "client " + std::to_string(static_cast<uint32_t>(static_cast<unsigned int>(clientId)));
    boost::property_tree::ptree tree;
    std::string path;
    if (!LoadCredentials(tree, path)) return false;

    std::string fileServer, user, password;
    const bool hasServer = snaphost::LookupIni(tree, section, "fileServer", fileServer);
    const bool hasUser = snaphost::LookupIni(tree, section, "user", user);
    const bool hasPassword = snaphost::LookupIni(tree, section, "password", password);
    if (tree.find(section) == tree.not_found()) {
        SNAP_LOG(-1, "Credentials file [%s] has no section [%s]", path.c_str(), section.c_str());
        return false;
    }
    if (!hasServer || fileServer.empty() || !hasUser || user.empty() || !hasPassword) {
        SNAP_LOG(-1, "Section [%s] of credentials file [%s] lacks %s", section.c_str(),
                 path.c_str(),
                 (!hasServer || fileServer.empty()) ? "fileServer"
                 : (!hasUser || user.empty())       ? "user"
                                                    : "password");
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

bool NASSnapUtil::GetArrayConnectionOptions(const std::string& fileServer,
                                            ArrayConnectionOptions& options) {
    boost::property_tree::ptree tree;
    std::string path;
    if (!LoadCredentials(tree, path)) return false;
    for (const auto& child : tree) {
        if (!FXString::MatchLeft(child.first, "client ")) continue;
        std::string server;
        if (!snaphost::LookupIni(tree, child.first, "fileServer", server) || server != fileServer) {
            continue;
        }
        return ParseOptions(tree, child.first, path, options);
    }
    SNAP_LOG(-1, "Credentials file [%s] has no entry for file server [%s]", path.c_str(),
             fileServer.c_str());
    return false;
}
