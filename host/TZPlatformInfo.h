#pragma once

#include <string>

#include "host/SnapHostExport.h"

// The agent's settings store: the INI file "settings.ini" in the configuration
// directory (see HostConfig.h), e.g.
//   [~FileSystemAgent]
//   bBackupFromSnapshotOnly = 1
// The file is read at every call, so a changed setting takes effect at once.
class SNAPHOST_API TZPlatformInfo {
public:
    TZPlatformInfo();
    ~TZPlatformInfo();

    // True when the key exists in the section and holds an integer; value then
    // holds it. False (value untouched) when the file, the section or the key is
    // missing, or the file or the value cannot be parsed (the latter logged at -1).
    bool getRegInt(const std::string& section, const std::string& key, int* value);

    // True when settings.ini is absent (every setting unset) or can be read
    // exactly, every value an integer. False with "<file>: line N: reason" in
    // problem otherwise: a host checks this before a job, because getRegInt
    // takes an unreadable file as "not set", which turns flags off.
    static bool CheckSettings(std::string& problem);
};
