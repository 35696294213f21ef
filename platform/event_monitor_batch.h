#pragma once

// The layout of a row in the byte batches of the change-event database's
// writer and reader threads: this header, then the path, the change type and
// the old path, unterminated. Copied with memcpy, never cast in place.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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

// How the thread on either side of a pool of batches waits for the other side:
// by timed sleeps, not by being woken when a batch is handed over. A thread
// woken by another is placed by the scheduler on the waker's processor whenever
// its own idle processor looks taken, as an idle virtual processor does; the two
// threads then share one processor while the other stays idle. On a 2-processor
// virtual machine, delivery ran at 3.3M rows/s or at 4.3M/s depending on where
// the threads were put; pinned apart, or waiting by timed sleeps, at 4.3M/s.
// Each sleep doubles the last, from 50 us up to 20 ms, so a sleep never lasts
// much longer than the wait so far: the batch that ends the wait is found late
// by at most about the time the other side took for it, while the other side
// goes on with the rest of the pool. A thread waiting long on a slow partner
// wakes seldom. A notification (a stop) still wakes the waiter at once.
template <typename Ready>
void AwaitBatch(std::unique_lock<std::mutex>& lock, std::condition_variable& stop, Ready ready) {
    constexpr std::chrono::microseconds kFirstPause(50);
    constexpr std::chrono::microseconds kLongestPause(20000);
    std::chrono::microseconds pause = kFirstPause;
    while (!ready()) {
        stop.wait_for(lock, pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

}  // namespace snaphost
