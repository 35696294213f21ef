#pragma once

// The further paths of hard-linked files: rows the change-event database, one
// row per inode, cannot hold. They are kept in the order they are added, in
// memory up to a bound and beyond it in a file of the job results directory
// that has no name (unlinked as soon as it is made, so nothing is left behind
// whatever happens to the process), and read back in the same order. Memory
// thus stays bounded however many hard links a changelist names.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Records.h"

namespace snapclient {

class LinkRowSpill {
public:
    // `memoryBytes`: how many bytes of rows are held before they go to the file.
    explicit LinkRowSpill(size_t memoryBytes = 1 << 20);
    ~LinkRowSpill();
    LinkRowSpill(const LinkRowSpill&) = delete;
    LinkRowSpill& operator=(const LinkRowSpill&) = delete;

    // Forgets every row (and the file); a file, when one is needed, goes to `directory`.
    void Reset(const std::string& directory);

    // Appends a copy of `row`. False with `error` when the file could not be made or written;
    // the rows added before stay.
    bool Add(const _ChangeEventItem& row, std::string& error);

    // 1: `row` is the next row (every field set); 0: no rows left; -1: the file could not be
    // read, with `error`. The first call after Reset or Add reads from the first row.
    int Next(_ChangeEventItem& row, std::string& error);

    // Reading starts again at the first row.
    void Rewind();

    uint64_t Size() const { return m_rows; }

private:
    bool WriteOut(std::string& error);
    void StopReading();
    bool Ensure(size_t bytes, std::string& error);

    size_t m_memoryBytes;
    std::string m_directory;
    int m_fd = -1;
    uint64_t m_fileBytes = 0;  // written to the file
    uint64_t m_rows = 0;
    std::vector<char> m_buffer;  // rows not in the file yet; while reading, the read window
    bool m_reading = false;
    size_t m_readAt = 0;        // next byte of the window
    uint64_t m_fileReadAt = 0;  // next byte of the file to read into the window
};

}  // namespace snapclient
