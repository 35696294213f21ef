#pragma once

// A run of strictly ascending inode numbers kept in an unnamed file rather than
// in memory: written once, then read back once in the same order. Each number is
// stored as the varint of its distance from the one before, so a dense run takes
// one or two bytes per inode.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace snaphost {

class InodeRunFile {
public:
    InodeRunFile() = default;
    ~InodeRunFile();

    InodeRunFile(const InodeRunFile&) = delete;
    InodeRunFile& operator=(const InodeRunFile&) = delete;

    // A new, empty run in a file of directory that has no name (it is gone with
    // the process, whatever happens).
    bool Open(const std::string& directory, std::string& error);

    // inode must be greater than the one appended before.
    bool Append(int64_t inode, std::string& error) {
        if (m_buffer.size() - m_used < kMaxVarint && !Flush(error)) return false;
        uint64_t delta = static_cast<uint64_t>(inode) - m_previous;
        m_previous = static_cast<uint64_t>(inode);
        while (delta >= 0x80) {
            m_buffer[m_used++] = static_cast<uint8_t>(delta | 0x80);
            delta >>= 7;
        }
        m_buffer[m_used++] = static_cast<uint8_t>(delta);
        return true;
    }

    // Ends writing; Next then returns the run from its first number.
    bool StartReading(std::string& error);

    // have is false once the run is exhausted.
    bool Next(int64_t& inode, bool& have, std::string& error);

    void Close();

private:
    static constexpr size_t kMaxVarint = 10;
    static constexpr size_t kBufferSize = 64 * 1024;

    bool Flush(std::string& error);
    bool Refill(std::string& error);

    int m_fd = -1;
    std::vector<uint8_t> m_buffer;
    size_t m_used = 0;      // writing: bytes buffered; reading: end of valid bytes
    size_t m_position = 0;  // reading: next byte
    bool m_endOfFile = false;
    uint64_t m_previous = 0;
};

}  // namespace snaphost
