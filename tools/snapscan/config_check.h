#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/snapscan/output.h"

namespace snapscan {

struct CheckRequest {
    uint32_t clientId = 0;
    std::vector<std::string> shares;  // shares whose NFS mount to look up
    bool array = false;               // also log in and ask the array, read-only
};

// `snapscan check`: whether a job of the client could start, without touching
// the array unless asked: settings.ini and credentials.ini read exactly, the
// mount table readable and each share on an NFS mount (with the export path it
// resolves to), and with `array`, a login and the array's release and changelist
// job type (read-only: nothing is enabled). One record per check; kExitOk when
// all passed, kExitFailed otherwise.
int RunCheck(const CheckRequest& request, Output& out);

}  // namespace snapscan
