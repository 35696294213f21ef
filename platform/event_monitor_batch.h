#pragma once

// The layout of a row in the byte batches of the change-event database's
// writer and reader threads: this header, then the path, the change type and
// the old path, unterminated. Copied with memcpy, never cast in place.

#include <cstdint>

namespace snaphost {

struct RowHeader {
    int64_t inode;
    uint64_t changeTime;
    uint64_t modifiedTime;
    uint64_t accessTime;
    int64_t size;
    uint32_t isRename;
    uint32_t extraNumber;
    uint64_t pathLength;
    uint64_t changeTypeLength;
    uint64_t oldPathLength;
};

}  // namespace snaphost
