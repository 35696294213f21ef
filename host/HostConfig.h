#pragma once

#include <string>

#include "host/SnapHostExport.h"

// Where the host keeps its files. Both are read from the environment at each call.
namespace HostConfig {

// SNAPSCAN_CONFIG_DIR, default /etc/snapscan: settings.ini and credentials.ini.
SNAPHOST_API std::string ConfigDir();

// SNAPSCAN_LOG_DIR, default /var/log/snapscan: snapscan.log and events.jsonl.
SNAPHOST_API std::string LogDir();

}  // namespace HostConfig
