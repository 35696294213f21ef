// Figures of the change-event database, each against a baseline measured in the
// same run:
//   ingest    rows loaded (InsertEvent, UpdateRenameEvent, PrepareSelectQuery)
//             in the array's order, vs generating the same rows without a database
//   delivery  draining GetNextEvent vs a bare sqlite3_step scan of the same table
//   memory    peak RSS of a run of N rows vs one of the first N, each in a child
// Usage: event_monitor_bench [--dir DIR] [ROWS...]   (default 1000000 10000000)
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "bench/bare_scan.h"
#include "tests/support/bench_support.h"
#include "host/CSnapDiffEventMonitor.h"
#include "host/LogWriter.h"

namespace {

using bench::BareScan;
using bench::Now;
using bench::PeakRssKiB;

constexpr double kIngestGoalRowsPerSecond = 550000.0;  // half of fetch + parse
constexpr double kDeliveryGoalRatio = 0.7;
constexpr double kMemoryGoalRatio = 1.2;
constexpr double kMemoryGoalMiB = 128.0;

uint64_t Mix(uint64_t& state) {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The rows of a changelist of n entries as the array lists them: ascending
// inodes, 3 % of them repeated at once; then, ascending again, the removed
// entries: 4 % old halves of renames, 1 % removed for good, 1 % removed twice.
// Two passes over the same random sequence, so nothing is held in memory.
template <typename Sink>
void Generate(uint64_t n, Sink&& sink) {
    _ChangeEventItem row;
    char path[160];
    for (int pass = 0; pass < 2; ++pass) {
        uint64_t state = 42;
        int64_t inode = 4096;
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t r = Mix(state);
            inode += 2 * (1 + static_cast<int64_t>(r % 4));  // even: odd ones are free
            const unsigned pick = static_cast<unsigned>((r >> 8) % 100);
            auto emit = [&](int64_t number, const char* kind, const char* type) {
                row.clear();
                row.inode = number;
                const int length = snprintf(
                    path, sizeof path, "/mnt/share/projects/dir%03u/sub%02u/%s_%" PRIu64 ".dat",
                    static_cast<unsigned>(i % 997), static_cast<unsigned>(i % 89), kind, i);
                row.path.assign(path, static_cast<size_t>(length));
                row.changeType = type;
                row.accessTime = row.modifiedTime = row.changeTime = 1700000000 + i;
                row.size = static_cast<int64_t>(r >> 40);
                sink(row);
            };
            if (pass == 0) {
                emit(inode, "file", pick % 10 == 0 ? "directory" : "file");
                if (pick >= 97) emit(inode, "again", "file");
            } else {
                if (pick < 4) emit(inode, "renamed_from", "(REMOVED)");
                if (pick == 4) emit(inode + 1, "gone", "(REMOVED)");
                if (pick == 5) {
                    emit(inode, "removed_once", "(REMOVED)");
                    emit(inode, "removed_twice", "(REMOVED)");
                }
            }
        }
    }
}

struct Figures {
    uint64_t rows = 0;    // entries handed to the database
    uint64_t stored = 0;  // rows delivered
    double generateRate = 0, ingestRate = 0;
    double bareRate = 0, drainRate = 0;
    long peakAfterIngestKiB = 0, peakKiB = 0;
    uint64_t rawBytes = 0;   // the stored rows' own bytes: texts and five 8-byte numbers each
    uint64_t diskBytes = 0;  // the database's files once loaded
};

// Bytes of the database file and of its journal files beside it.
uint64_t DiskBytes(const std::string& path) {
    uint64_t total = 0;
    for (const char* suffix : {"", "-wal", "-journal", "-shm"}) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path + suffix, error);
        if (!error) total += size;
    }
    return total;
}

bool Run(const std::string& directory, uint64_t n, Figures& figures) {
    uint64_t checksum = 0;
    double start = Now();
    Generate(n, [&](const _ChangeEventItem& row) {
        checksum += row.path.size() + static_cast<uint64_t>(row.inode);
        ++figures.rows;
    });
    figures.generateRate = static_cast<double>(figures.rows) / (Now() - start);

    CSnapDiffEventMonitor monitor(directory, 1, n);
    if (monitor.Create().IsError()) return false;
    bool failed = false;
    start = Now();
    Generate(n, [&](const _ChangeEventItem& row) {
        bool duplicate = false;
        if (failed || monitor.InsertEvent(row, duplicate).IsError()) {
            failed = true;
            return;
        }
        if (duplicate && row.changeType == "(REMOVED)" && monitor.UpdateRenameEvent(row).IsError())
            failed = true;
    });
    if (failed || monitor.PrepareSelectQuery().IsError()) return false;
    figures.ingestRate = static_cast<double>(figures.rows) / (Now() - start);
    figures.peakAfterIngestKiB = PeakRssKiB();
    figures.diskBytes = DiskBytes(monitor.Path());

    uint64_t bareCount = 0;
    const double bareFirst = BareScan(monitor.Path(), bareCount);
    _ChangeEventItem row;
    start = Now();
    uint64_t delivered = 0;
    while (monitor.GetNextEvent(row) == 0) {
        checksum += row.path.size();
        ++delivered;
    }
    figures.drainRate = static_cast<double>(delivered) / (Now() - start);
    // What the stored rows hold, counted apart from the timed drain.
    monitor.PrepareSelectQuery();
    while (monitor.GetNextEvent(row) == 0)
        figures.rawBytes += row.path.size() + row.oldPath.size() + row.changeType.size() + 5 * 8;
    const double bareSecond = BareScan(monitor.Path(), bareCount);
    figures.bareRate = bareFirst > bareSecond ? bareFirst : bareSecond;
    figures.stored = delivered;
    figures.peakKiB = PeakRssKiB();
    if (checksum == 42) fputc(' ', stderr);
    return delivered == bareCount;
}

// Runs one size in a child, so that each peak RSS is its own.
bool RunInChild(const std::string& directory, uint64_t n, Figures& figures) {
    int channel[2];
    if (pipe(channel) != 0) return false;
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(channel[0]);
        Figures mine;
        const bool ok = Run(directory, n, mine);
        const ssize_t written = write(channel[1], &mine, sizeof mine);
        _exit(ok && written == static_cast<ssize_t>(sizeof mine) ? 0 : 1);
    }
    close(channel[1]);
    const ssize_t got = read(channel[0], &figures, sizeof figures);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got == static_cast<ssize_t>(sizeof figures) && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string directory = "/tmp";
    std::vector<uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            directory = argv[++i];
        else
            sizes.push_back(strtoull(argv[i], nullptr, 10));
    }
    if (sizes.empty()) sizes = {1000000, 10000000};
    // No settings: the database is removed by every run.
    const std::string config = directory + "/event_monitor_bench_config";
    setenv("SNAPSCAN_CONFIG_DIR", config.c_str(), 1);
    g_ptrLogWriter = boost::make_shared<bench::ErrorsToStderr>();

    std::vector<Figures> all;
    for (uint64_t n : sizes) {
        Figures figures;
        if (!RunInChild(directory, n, figures)) {
            fprintf(stderr, "run of %" PRIu64 " entries failed\n", n);
            return 1;
        }
        all.push_back(figures);
        printf("entries %" PRIu64 " (%" PRIu64 " rows in, %" PRIu64 " stored)\n", n, figures.rows,
               figures.stored);
        printf(
            "  ingest    %10.0f rows/s   generate only %10.0f rows/s   ratio %.3f   "
            "vs %.0f rows/s goal: %.2f\n",
            figures.ingestRate, figures.generateRate, figures.ingestRate / figures.generateRate,
            kIngestGoalRowsPerSecond, figures.ingestRate / kIngestGoalRowsPerSecond);
        printf(
            "  delivery  %10.0f rows/s   bare sqlite3_step %10.0f rows/s   ratio %.3f (goal >= "
            "%.1f)\n",
            figures.drainRate, figures.bareRate, figures.drainRate / figures.bareRate,
            kDeliveryGoalRatio);
        printf("  disk      %.1f bytes/row on disk, %.1f raw bytes/row stored: ratio %.2f\n",
               static_cast<double>(figures.diskBytes) / static_cast<double>(figures.stored),
               static_cast<double>(figures.rawBytes) / static_cast<double>(figures.stored),
               static_cast<double>(figures.diskBytes) / static_cast<double>(figures.rawBytes));
        printf("  peak RSS  after ingest %.1f MiB, at the end %.1f MiB (goal < %.0f MiB)\n",
               figures.peakAfterIngestKiB / 1024.0, figures.peakKiB / 1024.0, kMemoryGoalMiB);
    }
    if (all.size() >= 2) {
        const Figures& small = all.front();
        const Figures& large = all.back();
        printf("memory: peak RSS %" PRIu64 " vs %" PRIu64 " entries: ratio %.3f (goal <= %.1f)\n",
               sizes.back(), sizes.front(),
               static_cast<double>(large.peakKiB) / static_cast<double>(small.peakKiB),
               kMemoryGoalRatio);
    }
    return 0;
}
