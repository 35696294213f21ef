// Change detection end to end against the emulator's synthetic changelist,
// each figure against a baseline measured in the same run:
//   ingest    CompareSnapshots (fetch, parse, database load, prepare) vs fetching
//             and parsing the same pages into records with no database
//   delivery  draining GetSnapshotCompareItem to the end marker (the database's
//             rows, then the further paths of hard links) vs a bare sqlite3_step
//             scan of the same database file
//   memory    peak RSS of a whole CompareSnapshots of LARGE entries vs one of
//             ENTRIES, each in a process of its own
// The emulator runs as a child process on loopback (plain HTTP, pages of 1,000,
// a few percent duplicates and renames); its memory is not counted.
//
//   compare_bench [ENTRIES=1000000] [ROUNDS=3] [LARGE=10000000]   (LARGE 0: no memory figure)
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/doubles/snap_client_peer.h"
#include "bench/bare_scan.h"
#include "tests/support/bench_support.h"
#include "tests/support/arraysim_process.h"
#include "host/LogWriter.h"
#include "host/ManageIsilon.h"
#include "snapclient/IsilonSnapClient.h"

namespace {

using bench::BareScan;
using bench::CpuSpent;
using bench::Load;
using bench::Now;
using bench::PeakRssKiB;
using bench::Verdict;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";
constexpr const char* kScanPath = "/mnt/synthetic";
constexpr const char* kBaseName = "synthetic_base";
constexpr const char* kIncrName = "synthetic_new";
constexpr unsigned long kClientId = 1;

constexpr int kDeliveryTurns = 3;

constexpr double kIngestGoal = 0.5;
constexpr double kDeliveryGoal = 0.9;
// CPU per entry of CompareSnapshots against that of fetching and parsing the same pages.
constexpr double kIngestCpuGoal = 2.0;
// The emulator's CPU per entry against the client's ingest: the figures must be the client's.
constexpr double kEmulatorCpuGoal = 1.0 / 3.0;
constexpr double kMemoryGoalRatio = 1.2;
constexpr double kMemoryGoalMiB = 128.0;

void Fail(const char* what, const CRwError& error) {
    fprintf(stderr, "%s failed: %s\n", what, error.AsString().c_str());
}

// A work directory with the client's configuration, its log and an emulator
// serving a synthetic changelist of n entries.
class Setup {
public:
    ~Setup() {
        sim.Stop();
        if (!root.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        }
    }

    bool Start(uint64_t n) {
        char pattern[] = "/tmp/snapscan-compare-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        root = pattern;
        results = root + "/results";
        std::filesystem::create_directories(root + "/config");
        std::filesystem::create_directories(results);
        setenv("SNAPSCAN_CONFIG_DIR", (root + "/config").c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", (root + "/log").c_str(), 1);
        // No settings file: log level 0, and the database goes with its client.
        g_ptrLogWriter = CreateFileLogWriter();

        std::string error;
        if (!sim.Start(
                ARRAYSIM_PATH, root,
                {"--synthetic", std::to_string(n), "--page-size", "1000", "--synthetic-dup-ratio",
                 "0.02", "--synthetic-rename-ratio", "0.03", "--synthetic-remove-ratio", "0.02",
                 "--user", kUser, "--password", kPassword},
                error)) {
            fprintf(stderr, "arraysim: %s\n", error.c_str());
            return false;
        }
        const std::string credentials = root + "/config/credentials.ini";
        {
            std::ofstream out(credentials);
            out << "[client " << kClientId << "]\nfileServer = " << sim.Url()
                << "\nuser = " << kUser << "\npassword = " << kPassword << "\n";
        }
        chmod(credentials.c_str(), 0600);
        return FindSnapshots();
    }

    bool FindSnapshots() {
        ManageIsilon array;
        array.SetFileServer(sim.Url());
        array.SetUser(kUser);
        array.SetPasswd(kPassword);
        std::vector<_IsilonSnapInfo> snapshots;
        if (!array.OpenConnection() || !array.GetSnapshotList(snapshots, "", "")) {
            fprintf(stderr, "cannot list the emulator's snapshots\n");
            return false;
        }
        for (const _IsilonSnapInfo& snapshot : snapshots) {
            if (snapshot.name == kBaseName) base = static_cast<uint64_t>(snapshot.id);
            if (snapshot.name == kIncrName) incr = static_cast<uint64_t>(snapshot.id);
        }
        if (base == 0 || incr == 0) fprintf(stderr, "synthetic snapshots not found\n");
        return base != 0 && incr != 0;
    }

    // A client as the job steps before comparison leave it: initialised with
    // the credentials, the share listed with both snapshots.
    bool MakeClient(CIsilonSnapClient& client) {
        const CRwError error = client.Initialize(2, kClientId, 0, 1, results, "", "", 1, 0, 0, 0,
                                                 ContentMapperAPIPtr());
        if (error.IsError()) {
            Fail("Initialize", error);
            return false;
        }
        FileServerExportInfo share;
        share.scanPath = kScanPath;
        share.snapshotName = kIncrName;
        share.snapshotId = incr;
        share.prevSnapshotName = kBaseName;
        share.prevSnapshotId = base;
        share.hasSnapshotPair = true;
        CIsilonSnapClientTest::SetShares(client, {share});
        return true;
    }

    std::string root, results;
    ArraySimProcess sim;
    uint64_t base = 0, incr = 0;
};

// The baseline of ingest: the same requests, the same pages parsed into the
// same records, nothing stored. Returns entries/s, 0 on failure.
double FetchOnly(Setup& setup, uint64_t& entries) {
    const double start = Now();
    ManageIsilon array;
    array.SetFileServer(setup.sim.Url());
    array.SetUser(kUser);
    array.SetPasswd(kPassword);
    if (!array.OpenConnection()) return 0;
    uint64_t base = setup.base, incr = setup.incr;
    if (array.CreateSnapshotChangeList(base, incr, true).IsError()) return 0;
    _IsilonChangeListInfo page;
    uint64_t checksum = 0;
    entries = 0;
    do {
        const CRwError error = array.GetSnapshotChangeList(base, incr, page);
        if (error.IsError()) {
            Fail("GetSnapshotChangeList", error);
            return 0;
        }
        for (const _IsilonChangeListItem& item : page.items) checksum += item.path.size();
        entries += page.items.size();
    } while (!page.resumeToken.empty());
    const double seconds = Now() - start;
    if (checksum == 42) fputc(' ', stderr);
    return static_cast<double>(entries) / seconds;
}

// CompareSnapshots from the call to its return. Returns entries/s, 0 on failure.
double Ingest(CIsilonSnapClient& client, uint64_t entries,
              std::function<FileServerSnapshotCompareItem()>& next) {
    const double start = Now();
    const CRwError error = client.CompareSnapshots(kScanPath, "/local/synthetic", next);
    const double seconds = Now() - start;
    if (error.IsError()) {
        Fail("CompareSnapshots", error);
        return 0;
    }
    return static_cast<double>(entries) / seconds;
}

struct Delivered {
    uint64_t items = 0;
    uint64_t byType[8] = {};
};

// Pulls items until the end marker. Returns items/s, 0 on failure.
double Drain(const std::function<FileServerSnapshotCompareItem()>& next, Delivered& delivered) {
    delivered = Delivered();
    uint64_t checksum = 0;
    const double start = Now();
    for (;;) {
        const FileServerSnapshotCompareItem item = next();
        if (item.type == 5) break;
        if (item.type < 2 || item.type > 4) return 0;
        ++delivered.byType[item.type];
        ++delivered.items;
        checksum += item.path.size() + item.info.inode;
    }
    const double seconds = Now() - start;
    if (checksum == 42) fputc(' ', stderr);
    return static_cast<double>(delivered.items) / seconds;
}

struct MemoryFigures {
    long ingestPeakKiB = -1;  // after CompareSnapshots returned
    long peakKiB = -1;        // after delivery as well
    double ingestRate = 0;
};

// The child side of the memory figure: one whole comparison, then delivery.
int MemoryChild(uint64_t n) {
    MemoryFigures figures;
    {
        Setup setup;
        if (!setup.Start(n)) return 1;
        CIsilonSnapClient client;
        if (!setup.MakeClient(client)) return 1;
        std::function<FileServerSnapshotCompareItem()> next;
        figures.ingestRate = Ingest(client, n, next);
        if (figures.ingestRate == 0) return 1;
        figures.ingestPeakKiB = PeakRssKiB();
        Delivered delivered;
        if (Drain(next, delivered) == 0) return 1;
        figures.peakKiB = PeakRssKiB();
    }
    printf("%ld %ld %.0f\n", figures.ingestPeakKiB, figures.peakKiB, figures.ingestRate);
    return 0;
}

// Runs the memory child in a fresh process image, so that its peak is its own.
bool MeasureMemory(const char* self, uint64_t n, MemoryFigures& figures) {
    // The log writer that the host library installs at load time needs a
    // directory before the child makes its own.
    char pattern[] = "/tmp/snapscan-compare-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    const std::string startLog = pattern;
    struct Remove {
        const std::string& path;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } remove{startLog};
    int channel[2];
    if (pipe(channel) != 0) return false;
    fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(channel[0]);
        dup2(channel[1], 1);
        setenv("SNAPSCAN_LOG_DIR", startLog.c_str(), 1);
        setenv("SNAPSCAN_CONFIG_DIR", startLog.c_str(), 1);
        const std::string count = std::to_string(n);
        execl(self, self, "--memory-child", count.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(channel[1]);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = read(channel[0], buffer, sizeof buffer)) > 0) answer.append(buffer, got);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    return sscanf(answer.c_str(), "%ld %ld %lf", &figures.ingestPeakKiB, &figures.peakKiB,
                  &figures.ingestRate) == 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--memory-child") == 0)
        return MemoryChild(strtoull(argv[2], nullptr, 10));
    const uint64_t entries = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 3;
    const uint64_t large = argc > 3 ? strtoull(argv[3], nullptr, 10) : 10000000;
    if (entries == 0 || rounds <= 0) {
        fprintf(stderr, "usage: compare_bench [ENTRIES] [ROUNDS] [LARGE]\n");
        return 2;
    }
    printf("load average at start: %.2f\n", Load());
    fflush(stdout);

    double bestFetch = 0, bestIngest = 0, bestDrain = 0, bestScan = 0;
    bench::Best fetchCpuBest, ingestCpuBest, simCpuBest;
    uint64_t listed = 0, scanned = 0;
    Delivered delivered;
    {
        Setup setup;
        if (!setup.Start(entries)) return 1;
        // Warm-up: first connections, first pages, the page cache of the file system.
        if (FetchOnly(setup, listed) == 0) return 1;
        CIsilonSnapClient client;
        if (!setup.MakeClient(client)) return 1;
        const std::string sim = bench::FirstChildPid();
        for (int round = 0; round < rounds; ++round) {
            CpuSpent fetchCpu, ingestCpu;
            const double fetch = bench::Measured(
                sim, [&] { return FetchOnly(setup, listed); }, fetchCpu);
            std::function<FileServerSnapshotCompareItem()> next;
            const double ingest = bench::Measured(
                sim, [&] { return Ingest(client, listed, next); }, ingestCpu);
            if (fetch == 0 || ingest == 0) return 1;
            const boost::shared_ptr<CSnapDiffEventMonitor> monitor =
                CIsilonSnapClientTest::EventMonitor(client);
            const std::string database = monitor->Path();
            // Scans and drains take turns, each a few times (the database
            // rewinds for another drain), so that neither side alone profits
            // from what the other left in the caches or from a quiet moment.
            // The further paths of hard-linked files come after the rows, from memory.
            const uint64_t linkRows = CIsilonSnapClientTest::LinkRows(client).Size();
            double scan = 0, drain = 0;
            for (int turn = 0; turn < kDeliveryTurns; ++turn) {
                scan = std::max(scan, BareScan(database, scanned));
                if (turn > 0) {
                    if (monitor->PrepareSelectQuery().IsError()) return 1;
                    CIsilonSnapClientTest::LinkRows(client).Rewind();
                }
                drain = std::max(drain, Drain(next, delivered));
                if (scan == 0 || drain == 0 || delivered.items != scanned + linkRows) {
                    fprintf(stderr,
                            "delivery failed: %" PRIu64 " items, %" PRIu64 " rows + %" PRIu64
                            " further paths of hard links\n",
                            delivered.items, scanned, linkRows);
                    return 1;
                }
            }
            using bench::MicrosPerEntry;
            printf(
                "round %d: fetch %.0f/s  ingest %.0f/s  delivery %.0f/s  scan %.0f/s  (load %.2f)\n"
                "         CPU us/entry: fetch %.2f + emulator %.2f, ingest %.2f + emulator %.2f\n",
                round + 1, fetch, ingest, drain, scan, Load(),
                MicrosPerEntry(fetchCpu.self, listed), MicrosPerEntry(fetchCpu.sim, listed),
                MicrosPerEntry(ingestCpu.self, listed), MicrosPerEntry(ingestCpu.sim, listed));
            fetchCpuBest.Lowest(MicrosPerEntry(fetchCpu.self, listed));
            ingestCpuBest.Lowest(MicrosPerEntry(ingestCpu.self, listed));
            simCpuBest.Lowest(MicrosPerEntry(ingestCpu.sim, listed));
            fflush(stdout);
            bestFetch = std::max(bestFetch, fetch);
            bestIngest = std::max(bestIngest, ingest);
            bestDrain = std::max(bestDrain, drain);
            bestScan = std::max(bestScan, scan);
        }
    }

    printf("changelist: %" PRIu64 " entries; delivered %" PRIu64 " items (%" PRIu64
           " changed, %" PRIu64 " renamed, %" PRIu64 " removed); best of %d rounds\n",
           listed, delivered.items, delivered.byType[2], delivered.byType[3], delivered.byType[4],
           rounds);
    const double ingestRatio = bestIngest / bestFetch;
    const double deliveryRatio = bestDrain / bestScan;
    printf(
        "ingest    CompareSnapshots %10.0f entries/s   fetch+parse only %10.0f entries/s   "
        "ratio %.2f (goal >= %.1f: %s)\n",
        bestIngest, bestFetch, ingestRatio, kIngestGoal, Verdict(ingestRatio >= kIngestGoal));
    printf(
        "delivery  GetSnapshotCompareItem %10.0f items/s   bare sqlite3_step %10.0f rows/s   "
        "ratio %.2f (goal >= %.1f: %s)\n",
        bestDrain, bestScan, deliveryRatio, kDeliveryGoal, Verdict(deliveryRatio >= kDeliveryGoal));
    const double cpuRatio = ingestCpuBest.value / fetchCpuBest.value;
    printf(
        "ingest    CPU %.2f us/entry   fetch+parse CPU %.2f us/entry   ratio %.2f "
        "(goal <= %.1f: %s)\n",
        ingestCpuBest.value, fetchCpuBest.value, cpuRatio, kIngestCpuGoal,
        Verdict(cpuRatio <= kIngestCpuGoal));
    const double simRatio = simCpuBest.value / ingestCpuBest.value;
    printf(
        "emulator  CPU %.2f us/entry while the client ingests at %.2f us/entry   ratio %.2f "
        "(goal <= %.2f: %s)\n",
        simCpuBest.value, ingestCpuBest.value, simRatio, kEmulatorCpuGoal,
        Verdict(simRatio <= kEmulatorCpuGoal));
    fflush(stdout);

    if (large > 0) {
        MemoryFigures small, big;
        const char* self = "/proc/self/exe";
        if (!MeasureMemory(self, entries, small) || !MeasureMemory(self, large, big)) {
            fprintf(stderr, "memory run failed\n");
            return 1;
        }
        const double ratio = static_cast<double>(big.ingestPeakKiB) / small.ingestPeakKiB;
        const double bigMiB = big.ingestPeakKiB / 1024.0;
        printf("memory    peak RSS of ingest: %" PRIu64 " entries %.1f MiB, %" PRIu64
               " entries %.1f MiB (%.0f entries/s); after delivery %.1f / %.1f MiB\n",
               entries, small.ingestPeakKiB / 1024.0, large, bigMiB, big.ingestRate,
               small.peakKiB / 1024.0, big.peakKiB / 1024.0);
        printf(
            "memory    ratio %.2f (goal <= %.1f: %s), large run %.1f MiB (goal < %.0f MiB: %s)\n",
            ratio, kMemoryGoalRatio, Verdict(ratio <= kMemoryGoalRatio), bigMiB, kMemoryGoalMiB,
            Verdict(bigMiB < kMemoryGoalMiB));
    }
    printf("load average at end: %.2f\n", Load());
    return 0;
}
