#include "tools/snapscan/page_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace snapscan {

PageCacheRelease::PageCacheRelease(int fd, uint64_t leftToKernel) : m_untouched(leftToKernel) {
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    // Appending, the offset stays where it was until the first write: the
    // listing starts at the end.
    const int flags = ::fcntl(fd, F_GETFL);
    const off_t at =
        flags >= 0 && (flags & O_APPEND) != 0 ? status.st_size : ::lseek(fd, 0, SEEK_CUR);
    if (flags < 0 || at < 0) return;
    m_fd = fd;
    m_sent = m_released = static_cast<uint64_t>(at);
}

// The file's own offset, not a count of ours: the listing may share the file
// with other lines, or append to it. Without it, nothing more is released.
bool PageCacheRelease::Offset(uint64_t& at) {
    const off_t offset = ::lseek(m_fd, 0, SEEK_CUR);
    if (offset < 0) {
        m_fd = -1;
        return false;
    }
    at = static_cast<uint64_t>(offset);
    return true;
}

void PageCacheRelease::Wrote(uint64_t bytes) {
    if (m_fd < 0) return;
    if (m_untouched > 0) {
        if (bytes < m_untouched) {
            m_untouched -= bytes;
            return;
        }
        m_untouched = 0;
        // What was written so far stays with the kernel: sent now, all of it
        // would have to reach the disk before the first drop.
        uint64_t end = 0;
        if (Offset(end)) m_sent = m_released = end;
        return;
    }
    m_pending += bytes;
    if (m_pending < kStretch) return;
    m_pending = 0;
    uint64_t end = 0;
    if (!Offset(end)) return;
    if (end < m_sent) {  // the file was truncated or rewound under us: start again there
        m_sent = m_released = end;
        return;
    }
    ::sync_file_range(m_fd, static_cast<off64_t>(m_sent), static_cast<off64_t>(end - m_sent),
                      SYNC_FILE_RANGE_WRITE);
    m_sent = end;
    if (end < m_released + kKept + kStretch) return;
    // Sent to the disk a few stretches ago, so rarely still on its way: what is
    // waits, then the pages go. Dirty pages would be kept by the drop.
    const uint64_t upTo = end - kKept;
    const off64_t from = static_cast<off64_t>(m_released);
    const off64_t length = static_cast<off64_t>(upTo - m_released);
    // The wait reports a failed write-back of the file, once: its sync would not.
    if (::sync_file_range(m_fd, from, length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        const int code = errno;
        if (code != EINVAL && code != ESPIPE && code != ENOSYS) {
            m_error = code;
            m_fd = -1;
            return;
        }
    }
    ::posix_fadvise(m_fd, from, length, POSIX_FADV_DONTNEED);
    m_released = upTo;
}

}  // namespace snapscan
