#include "tools/snapscan/job_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace snapscan {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string ContentName(uint32_t clientId, uint32_t subclientId) {
    return "client-" + std::to_string(clientId) + "-subclient-" + std::to_string(subclientId);
}

bool EnsureDirectory(const std::string& directory, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        error = "cannot create the state directory " + directory + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

std::string JobStateStore::DefaultDirectory() {
    std::string directory = Environment("SNAPSCAN_STATE_DIR");
    if (!directory.empty()) return directory;
    directory = Environment("XDG_STATE_HOME");
    if (!directory.empty()) return directory + "/snapscan";
    directory = Environment("HOME");
    if (directory.empty()) directory = "/tmp";
    return directory + "/.local/state/snapscan";
}

std::string JobStateStore::StatePath(uint32_t clientId, uint32_t subclientId) const {
    return m_directory + "/" + ContentName(clientId, subclientId) + ".json";
}

bool JobStateStore::Load(uint32_t clientId, uint32_t subclientId, ContentState& state,
                         std::string& error) const {
    state = ContentState();
    const std::string path = StatePath(clientId, subclientId);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return true;
    std::ifstream file(path);
    if (ec || !file) {
        error = "cannot read the job state " + path + ": " +
                (ec ? ec.message() : std::string(std::strerror(errno)));
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    const nlohmann::json record = nlohmann::json::parse(text.str(), nullptr, false);
    const auto readId = [&](const char* key, int64_t& id) {
        auto it = record.find(key);
        if (it == record.end() || !it->is_number_integer() || it->get<int64_t>() < 0) return false;
        id = it->get<int64_t>();
        return true;
    };
    if (!record.is_object() || !readId("lastIssuedJobId", state.lastIssuedJobId) ||
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
    if (!EnsureDirectory(m_directory, error)) return false;
    const std::string path = StatePath(clientId, subclientId);
    const std::string temporary = path + ".tmp";
    const nlohmann::json record = {{"clientId", clientId},
                                   {"subclientId", subclientId},
                                   {"lastIssuedJobId", state.lastIssuedJobId},
                                   {"baseJobId", state.baseJobId}};
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << record.dump(2) << '\n';
        file.flush();
        if (!file) {
            error = "cannot write the job state " + temporary + ": " + std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace the job state " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

ContentLock::~ContentLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing drops the flock
}

bool ContentLock::Acquire(const JobStateStore& store, uint32_t clientId, uint32_t subclientId,
                          std::string& error) {
    if (!EnsureDirectory(store.Directory(), error)) return false;
    const std::string path =
        store.Directory() + "/" + ContentName(clientId, subclientId) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::close(fd);
        error = saved == EWOULDBLOCK
                    ? "another snapscan run of client " + std::to_string(clientId) +
                          " subclient " + std::to_string(subclientId) + " holds " + path
                    : "cannot lock " + path + ": " + std::strerror(saved);
        return false;
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
    return true;
}

}  // namespace snapscan
