#pragma once

#include <cstdint>

namespace snapscan {

// Lets go of the page cache behind a long listing written to a regular file.
// A job over tens of millions of entries writes gigabytes; left to the kernel,
// all of it stays cached until the disk has it, pushing out what the machine
// had cached, and every page of it is memory the kernel must find anew (on a
// virtual machine that hands freed memory back to its host, several
// microseconds a page: about 1.3 s of a 2.6 GB listing). Each stretch is sent
// to the disk once written and its pages are dropped a few stretches later, so
// the file keeps a few tens of MiB cached and the kernel reuses the same pages.
// The price: the bytes reach the disk during the job, and the job's next sync
// (of its state file, say) waits until the disk holds what was sent since the
// file system's last commit (about 0.14 s after 300 MB here). A file the job
// syncs anyway pays nothing more; one it does not is better left to the kernel
// until it grows large.
// Hints, except for one thing: waiting for a stretch to reach the disk takes
// over a write error from the file's later sync, so that error is kept here and
// the owner must fail on it (see Error).
class PageCacheRelease {
public:
    // Does nothing unless fd is a regular file (a pipe or a terminal is left
    // alone). The first `leftToKernel` bytes of the listing are not touched.
    explicit PageCacheRelease(int fd, uint64_t leftToKernel = 0);

    // `bytes` more of the listing reached fd (they are in the kernel, not in a
    // buffer of the caller's).
    void Wrote(uint64_t bytes);

    // How far the file's pages were let go of, as a file offset.
    uint64_t Released() const { return m_released; }

    // The errno of a failed write-back of the listing, 0 when none: the bytes
    // on the disk are not those written. Nothing is released after it.
    int Error() const { return m_error; }

    // Bytes written before a stretch is sent to the disk, and how far behind
    // the end of the file its pages are dropped.
    static constexpr uint64_t kStretch = 8 << 20;
    static constexpr uint64_t kKept = 32 << 20;

private:
    bool Offset(uint64_t& at);

    int m_fd = -1;
    uint64_t m_untouched = 0;  // bytes still to be written before any is released
    uint64_t m_pending = 0;    // bytes written since the last stretch was sent
    uint64_t m_sent = 0;       // offset up to which the writeback was started
    uint64_t m_released = 0;   // offset up to which the pages were dropped
    int m_error = 0;
};

}  // namespace snapscan
