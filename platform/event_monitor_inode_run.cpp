// The first ascending run of a changelist, spilled to disk so that the removed
// entries that follow it can be checked against it by a merge instead of by a
// lookup, with a fixed 64 KiB of memory.
#include "platform/event_monitor_inode_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace snaphost {

namespace {

std::string SystemError(const char* what, const std::string& where, int code) {
    return std::string(what) + " [" + where + "]: " + strerror(code);
}

}  // namespace

InodeRunFile::~InodeRunFile() { Close(); }

bool InodeRunFile::Open(const std::string& directory, std::string& error) {
    Close();
    const std::string where = directory.empty() ? std::string(".") : directory;
    m_fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // File systems without unnamed files: a named one, unlinked at once.
        std::string pattern = where + "/.snapdiff_inodes_XXXXXX";
        m_fd = mkostemp(&pattern[0], O_CLOEXEC);
        if (m_fd >= 0) unlink(pattern.c_str());
    }
    if (m_fd < 0) {
        error = SystemError("Cannot create a work file in", where, errno);
        return false;
    }
    m_buffer.assign(kBufferSize, 0);
    m_used = m_position = 0;
    m_endOfFile = false;
    m_previous = 0;
    return true;
}

bool InodeRunFile::Flush(std::string& error) {
    if (m_fd < 0) {
        error = "The inode work file is not open";
        return false;
    }
    size_t done = 0;
    while (done < m_used) {
        const ssize_t n = write(m_fd, m_buffer.data() + done, m_used - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = SystemError("Cannot write the work file of", "inode run", n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    m_used = 0;
    return true;
}

bool InodeRunFile::StartReading(std::string& error) {
    if (m_fd < 0) {
        error = "The inode work file is not open";
        return false;
    }
    if (!Flush(error)) return false;
    if (lseek(m_fd, 0, SEEK_SET) != 0) {
        error = SystemError("Cannot rewind the work file of", "inode run", errno);
        return false;
    }
    m_used = m_position = 0;
    m_endOfFile = false;
    m_previous = 0;
    return true;
}

bool InodeRunFile::Refill(std::string& error) {
    // Keep the bytes of a varint cut by the previous read.
    const size_t left = m_used - m_position;
    memmove(m_buffer.data(), m_buffer.data() + m_position, left);
    m_used = left;
    m_position = 0;
    while (!m_endOfFile && m_used < m_buffer.size()) {
        const ssize_t n = read(m_fd, m_buffer.data() + m_used, m_buffer.size() - m_used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = SystemError("Cannot read the work file of", "inode run", errno);
            return false;
        }
        if (n == 0) m_endOfFile = true;
        m_used += static_cast<size_t>(n);
    }
    return true;
}

bool InodeRunFile::Next(int64_t& inode, bool& have, std::string& error) {
    have = false;
    if (m_fd < 0) return true;
    if (m_used - m_position < kMaxVarint && !m_endOfFile && !Refill(error)) return false;
    if (m_position == m_used) return true;
    uint64_t delta = 0;
    for (unsigned shift = 0;; shift += 7) {
        if (m_position == m_used || shift > 63) {
            error = "The work file of the inode run is damaged";
            return false;
        }
        const uint8_t byte = m_buffer[m_position++];
        delta |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) break;
    }
    m_previous += delta;
    inode = static_cast<int64_t>(m_previous);
    have = true;
    return true;
}

void InodeRunFile::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    std::vector<uint8_t>().swap(m_buffer);
    m_used = m_position = 0;
    m_endOfFile = false;
    m_previous = 0;
}

}  // namespace snaphost
