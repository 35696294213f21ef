// Letting go of a long listing's page cache: the pages behind the end of a
// regular file are dropped and its bytes stay as written, whatever the file's
// offset was at the start; pipes are left alone.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_files.h"
#include "tools/snapscan/page_cache.h"

namespace {

using snapscan::PageCacheRelease;
using snapscan_test::ReadFile;
using snapscan_test::TempDir;

constexpr uint64_t kMiB = 1 << 20;
constexpr long kTmpfsMagic = 0x01021994;

// 1 MiB of bytes that differ from one MiB to the next.
std::string Chunk(uint64_t index) {
    std::string chunk(kMiB, '\0');
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>('a' + (index * 7 + i / 4096) % 26);
    return chunk;
}

// Writes `mebibytes` chunks from `first` on, telling `release` (when given) of each.
std::string WriteChunks(int fd, uint64_t first, uint64_t mebibytes, PageCacheRelease* release) {
    std::string all;
    for (uint64_t i = first; i < first + mebibytes; ++i) {
        const std::string chunk = Chunk(i);
        EXPECT_EQ(write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        if (release != nullptr) release->Wrote(chunk.size());
        all += chunk;
    }
    return all;
}

// Pages of [from, to) of the file that are in the page cache.
uint64_t ResidentPages(const std::string& path, uint64_t from, uint64_t to) {
    if (to <= from) return 0;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd < 0) return 0;
    void* map = mmap(nullptr, to, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    EXPECT_NE(map, MAP_FAILED);
    if (map == MAP_FAILED) return 0;
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    std::string vector(to / page + 1, '\0');
    EXPECT_EQ(mincore(map, to, reinterpret_cast<unsigned char*>(vector.data())), 0);
    munmap(map, to);
    uint64_t resident = 0;
    for (uint64_t i = from / page; i < to / page; ++i) resident += vector[i] & 1;
    return resident;
}

// Whether this file system keeps written pages cached and lets them go on
// request (tmpfs keeps its pages whatever is asked).
bool PageCacheObservable(const TempDir& dir) {
    struct statfs fs;
    if (statfs(dir.Path().c_str(), &fs) != 0 || fs.f_type == kTmpfsMagic) return false;
    const std::string path = dir.Join("control");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    WriteChunks(fd, 0, 4, nullptr);
    close(fd);
    const uint64_t pages = 4 * kMiB / static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return ResidentPages(path, 0, 4 * kMiB) > pages / 2;
}

TEST(PageCacheRelease, DropsThePagesBehindTheEndOfARegularFileAndKeepsItsBytes) {
    TempDir dir;
    if (!PageCacheObservable(dir))
        GTEST_SKIP() << "the page cache of " << dir.Path() << " cannot be watched";
    struct Case {
        const char* name;
        uint64_t before;     // MiB in the file before the listing
        bool append;         // opened O_APPEND rather than at offset `before`
        uint64_t written;    // MiB of the listing
        uint64_t untouched;  // MiB of it left to the kernel
    };
    const Case cases[] = {
        {"new file", 0, false, 80, 0},
        {"appended to 5 MiB", 5, true, 64, 0},
        {"written after 3 MiB at its offset", 3, false, 72, 0},
        {"shorter than what is kept", 0, false, 30, 0},
        {"its first 20 MiB left to the kernel", 0, false, 80, 20},
        {"appended, all of it left to the kernel", 2, true, 48, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Join(std::string("listing-") + std::to_string(&c - cases));
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        std::string expected = WriteChunks(fd, 100, c.before, nullptr);
        close(fd);
        // Opened for appending, the offset is 0 until the first write.
        const int out = open(path.c_str(), O_WRONLY | O_CLOEXEC | (c.append ? O_APPEND : 0));
        ASSERT_GE(out, 0);
        if (!c.append) {
            ASSERT_EQ(lseek(out, static_cast<off_t>(c.before * kMiB), SEEK_SET),
                      static_cast<off_t>(c.before * kMiB));
        }
        PageCacheRelease release(out, c.untouched * kMiB);
        expected += WriteChunks(out, 0, c.written, &release);
        close(out);

        const uint64_t start = c.before * kMiB, end = start + c.written * kMiB;
        const uint64_t first = std::min(end, start + c.untouched * kMiB);
        const uint64_t released = release.Released();
        EXPECT_TRUE(released == start || released >= first) << released;
        EXPECT_LE(released, std::max(first, end - std::min(end, PageCacheRelease::kKept)));
        if (end >= first + PageCacheRelease::kKept + PageCacheRelease::kStretch) {
            EXPECT_GT(released, first);
        }
        // Dropped pages are clean ones; none should be left of them.
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        if (released > first) {
            EXPECT_LE(ResidentPages(path, first, released), (released - first) / page / 64);
        }
        // What the file held before the listing, and what was left to the
        // kernel, are not the listing's to drop.
        EXPECT_GE(ResidentPages(path, 0, first), first / page / 2);
        EXPECT_TRUE(ReadFile(path) == expected) << "the file's bytes changed";
    }
}

TEST(PageCacheRelease, LeavesPipesAndBadDescriptorsAlone) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    for (const int fd : {pipeFds[1], -1, 12345}) {
        PageCacheRelease release(fd);
        for (int i = 0; i < 64; ++i) release.Wrote(kMiB);
        EXPECT_EQ(release.Released(), 0u);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(PageCacheRelease, StartsAgainWhenTheFileIsTruncatedUnderIt) {
    TempDir dir;
    const std::string path = dir.Join("listing");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    PageCacheRelease release(fd);
    WriteChunks(fd, 0, 48, &release);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    const std::string expected = WriteChunks(fd, 50, 48, &release);
    close(fd);
    EXPECT_LE(release.Released(), 48 * kMiB - PageCacheRelease::kKept);
    EXPECT_TRUE(ReadFile(path) == expected) << "the file's bytes changed";
}

}  // namespace
