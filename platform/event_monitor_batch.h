#pragma once

// The layout of a row in the byte batches of the change-event database's
// writer and reader threads: this header, then the path, the change type and
// the old path, unterminated. Copied with memcpy, never cast in place.

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace snaphost {

// Growing a batch leaves the new bytes as they are: every byte added is written
// by the copy that follows at once, so zeroing it first would only cost time.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A batch of rows of either thread.
using RowBatch = std::vector<char, UninitialisedAllocator<char>>;

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
