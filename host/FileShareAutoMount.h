#pragma once

#include <string>

#include "common/CRwError.h"
#include "host/SnapHostExport.h"

// The agent's auto-mount converter.
class SNAPHOST_API FileShareAutoMount {
public:
    // Converts a scan path to its mount source "host:/path": "host:/path" stays as
    // it is and "nfs://host[:port]/path" becomes "host:/path". An IPv6 host is
    // bracketed in both forms and stays so: "[fd00::1]:/path" and
    // "nfs://[fd00::1]:2049/path" give "[fd00::1]:/path". Anything else sets
    // noMountForm (with a level -1 line) and leaves mountSource empty.
    // exportName receives the path part alone.
    static CRwError convertScanToMountFormat(const std::string& scanPath, std::string& mountSource,
                                             std::string& exportName, bool& noMountForm);
};
