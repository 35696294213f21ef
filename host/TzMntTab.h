#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "common/CRwError.h"
#include "host/SnapHostExport.h"

// Reader of the proxy machine's mount table.
class SNAPHOST_API TzMntTab {
public:
    struct Entry {
        std::string device;      // the mounted source, e.g. "host:/ifs/data"
        std::string mountPoint;  // the local directory
        uint64_t value2 = 0;
        std::string text3;  // file-system type
        std::string text4;  // mount options
    };

    // Fills entries (cleared first) with every mounted file system in table order,
    // octal escapes (\040 for a space, ...) decoded. Reads /proc/self/mounts, or
    // the file named by SNAPSCAN_MOUNT_TABLE when that is set. A table that cannot
    // be read is a failure (1627) naming the file and the system's reason.
    static CRwError getAll(std::list<Entry>& entries);
};
