// Where the host keeps its files. Read at each call so that a host (or a test)
// may point the services elsewhere after the library has loaded.
#include "host/HostConfig.h"

#include <cstdlib>

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

}  // namespace

namespace HostConfig {

std::string ConfigDir() { return FromEnvironment("SNAPSCAN_CONFIG_DIR", "/etc/snapscan"); }

std::string LogDir() { return FromEnvironment("SNAPSCAN_LOG_DIR", "/var/log/snapscan"); }

}  // namespace HostConfig
