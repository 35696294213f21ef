#include "snapclient/LinkRowSpill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace snapclient {

namespace {

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

std::string Errno(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

LinkRowSpill::LinkRowSpill(size_t memoryBytes) : m_memoryBytes(memoryBytes) {}

LinkRowSpill::~LinkRowSpill() {
    if (m_fd >= 0) ::close(m_fd);
}

void LinkRowSpill::Reset(const std::string& directory) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_directory = directory;
    m_fileBytes = 0;
    m_rows = 0;
    m_buffer.clear();
    m_reading = false;
    m_readAt = 0;
    m_fileReadAt = 0;
}

bool LinkRowSpill::Add(const _ChangeEventItem& row, std::string& error) {
    StopReading();
    RowHeader header;
    std::memset(&header, 0, sizeof header);
    header.inode = row.inode;
    header.changeTime = row.changeTime;
    header.modifiedTime = row.modifiedTime;
    header.accessTime = row.accessTime;
    header.size = row.size;
    header.isRename = row.isRename;
    header.extraNumber = row.extraNumber;
    header.pathLength = row.path.size();
    header.changeTypeLength = row.changeType.size();
    header.oldPathLength = row.oldPath.size();
    const char* bytes = reinterpret_cast<const char*>(&header);
    m_buffer.insert(m_buffer.end(), bytes, bytes + sizeof header);
    m_buffer.insert(m_buffer.end(), row.path.begin(), row.path.end());
    m_buffer.insert(m_buffer.end(), row.changeType.begin(), row.changeType.end());
    m_buffer.insert(m_buffer.end(), row.oldPath.begin(), row.oldPath.end());
    ++m_rows;
    return m_buffer.size() < m_memoryBytes || WriteOut(error);
}

bool LinkRowSpill::WriteOut(std::string& error) {
    if (m_fd < 0) {
        std::string pattern = m_directory + "/linkrows-XXXXXX";
        m_fd = ::mkstemp(pattern.data());  // owner-only
        if (m_fd < 0) {
            error = Errno("cannot create", pattern);
            return false;
        }
        ::unlink(pattern.c_str());
        ::fchmod(m_fd, 0600);
    }
    size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t wrote = ::pwrite(m_fd, m_buffer.data() + done, m_buffer.size() - done,
                                       static_cast<off_t>(m_fileBytes + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = Errno("cannot write the further paths of hard links in", m_directory);
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    m_fileBytes += m_buffer.size();
    m_buffer.clear();
    return true;
}

void LinkRowSpill::Rewind() { StopReading(); }

void LinkRowSpill::StopReading() {
    // With a file, every row is in it and the buffer is only the read window.
    if (m_reading && m_fd >= 0) m_buffer.clear();
    m_reading = false;
}

// At least `bytes` unread bytes in the window, from the file when there is one.
bool LinkRowSpill::Ensure(size_t bytes, std::string& error) {
    if (m_buffer.size() - m_readAt >= bytes) return true;
    if (m_fd < 0) {
        error = "the further paths of hard links end within a row";
        return false;
    }
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_readAt));
    m_readAt = 0;
    const size_t want = std::max(bytes, m_memoryBytes);
    while (m_buffer.size() < bytes && m_fileReadAt < m_fileBytes) {
        const size_t have = m_buffer.size();
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(want - have, m_fileBytes - m_fileReadAt));
        m_buffer.resize(have + chunk);
        const ssize_t got =
            ::pread(m_fd, m_buffer.data() + have, chunk, static_cast<off_t>(m_fileReadAt));
        if (got < 0 && errno == EINTR) {
            m_buffer.resize(have);
            continue;
        }
        if (got <= 0) {
            m_buffer.resize(have);
            error = Errno("cannot read the further paths of hard links in", m_directory);
            return false;
        }
        m_buffer.resize(have + static_cast<size_t>(got));
        m_fileReadAt += static_cast<uint64_t>(got);
    }
    if (m_buffer.size() < bytes) {
        error = "the further paths of hard links end within a row";
        return false;
    }
    return true;
}

int LinkRowSpill::Next(_ChangeEventItem& row, std::string& error) {
    if (!m_reading) {
        // Everything goes to the file first when there is one, so that it is read in one order.
        if (m_fd >= 0 && !m_buffer.empty() && !WriteOut(error)) return -1;
        m_reading = true;
        m_readAt = 0;
        m_fileReadAt = 0;
    }
    if (m_readAt == m_buffer.size() && m_fileReadAt == m_fileBytes) return 0;
    RowHeader header;
    if (!Ensure(sizeof header, error)) return -1;
    std::memcpy(&header, m_buffer.data() + m_readAt, sizeof header);
    const uint64_t texts = header.pathLength + header.changeTypeLength + header.oldPathLength;
    if (texts > (uint64_t{1} << 32) || !Ensure(sizeof header + static_cast<size_t>(texts), error))
        return -1;
    const char* at = m_buffer.data() + m_readAt + sizeof header;
    row.inode = header.inode;
    row.changeTime = header.changeTime;
    row.modifiedTime = header.modifiedTime;
    row.accessTime = header.accessTime;
    row.size = header.size;
    row.isRename = header.isRename;
    row.extraNumber = header.extraNumber;
    row.path.assign(at, header.pathLength);
    at += header.pathLength;
    row.changeType.assign(at, header.changeTypeLength);
    at += header.changeTypeLength;
    row.oldPath.assign(at, header.oldPathLength);
    m_readAt += sizeof header + static_cast<size_t>(texts);
    return 1;
}

}  // namespace snapclient
