// What a snapshot changelist saves: an incremental job of a share in which 1%
// of the files changed, against what every tree-walking backup does to find
// those changes, measured in the same run:
//   job         `snapscan job` (the CLI, the plug-in, arraysim), incremental
//   pair walk   the audit's walk of the job's two snapshots (what changed between them)
//   stat walk   a plain stat of every entry of the share
// Each round changes another 1% of the files (not timed), runs the job, then
// both walks; the best of the rounds is kept. Walks run on a warm page cache,
// 4 threads. arraysim's snapshot is a copy of the tree (the array's takes
// constant time), so the job's time is also given without its snapshot phase.
//
// With --cold (root only) the page cache is dropped before the job and before
// each walk, as on a share far larger than memory. The program files of the job
// (the CLI, the plug-in and the libraries they load) are read back right after
// the drop, before the job is timed: the walks run in this process, whose code
// stays in memory, and the plug-in runs inside the backup agent, whose code is
// in memory too; what is cold is the share. arraysim flushes its snapshot copies
// to disk before answering (--durable-snapshots), so that writing back a copied
// tree is timed in the snapshot phase, where it happens, and not in the next
// fsync of the job's state.
//
//   audit_bench [--files N=1000000] [--rounds R=3] [--cold]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/arraysim_process.h"
#include "tests/support/bench_support.h"
#include "tools/snapscan/tree_walk.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using bench::Now;

constexpr uint64_t kFilesPerDirectory = 1000;
constexpr double kGoal = 20.0;
constexpr unsigned kThreads = 4;

double Load() {
    double load = -1;
    FILE* file = fopen("/proc/loadavg", "r");
    if (file != nullptr) {
        if (fscanf(file, "%lf", &load) != 1) load = -1;
        fclose(file);
    }
    return load;
}

double CpuOf(int who) {
    struct rusage usage;
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string FilePath(const fs::path& share, uint64_t i) {
    return (share / ("d" + std::to_string(i / kFilesPerDirectory)) / ("f" + std::to_string(i)))
        .string();
}

// Runs the CLI with `args`; its stdout in `out`. The exit status, -1 when it did not run.
int RunCli(const std::vector<std::string>& args, const fs::path& work, std::string& out) {
    std::vector<std::string> argv = {SNAPSCAN_CLI_PATH, "--plugin", SNAPSCAN_PLUGIN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const std::string outFile = (work / "cli.out").string();
    const std::string errFile = (work / "cli.err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    std::ifstream in(outFile);
    std::stringstream text;
    text << in.rdbuf();
    out = text.str();
    if (WEXITSTATUS(status) != 0) {
        std::ifstream err(errFile);
        std::stringstream errText;
        errText << err.rdbuf();
        fprintf(stderr, "snapscan exited %d: %s\n", WEXITSTATUS(status), errText.str().c_str());
    }
    return WEXITSTATUS(status);
}

struct JobFigures {
    double wall = 0;
    double snapshot = 0;  // the job's phases, as its summary says
    double wait = 0;
    double load = 0;
    double delivery = 0;
    uint64_t items = 0;
    double cpu = 0;  // the CLI's, not arraysim's
};

bool Job(const fs::path& work, const fs::path& share, const std::string& tag, JobFigures& job) {
    std::string out;
    const double cpu = CpuOf(RUSAGE_CHILDREN);
    const double start = Now();
    const int status =
        RunCli({"job", "--json", "--progress", "never", "--client-id", "1", "--subclient-id", "1",
                "--share", share.string(), "--results-dir", (work / "results" / tag).string(),
                "--map-file", (work / "results" / tag / "map").string(), "--skip-cleanup"},
               work, out);
    job.wall = Now() - start;
    job.cpu = CpuOf(RUSAGE_CHILDREN) - cpu;
    if (status != 0) return false;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object()) continue;
        if (record.value("event", "") == "summary") {
            const auto& seconds = record["seconds"];
            job.snapshot = seconds.value("snapshot", 0.0);
            job.wait = seconds.value("wait", 0.0);
            job.load = seconds.value("load", 0.0);
            job.delivery = seconds.value("delivery", 0.0);
        }
        if (record.value("event", "") == "shareDone") job.items = record.value("items", 0ull);
    }
    return true;
}

// The two newest snapshot directories of the share.
bool NewestPair(const fs::path& share, fs::path& base, fs::path& current) {
    std::vector<std::pair<fs::file_time_type, fs::path>> snapshots;
    for (const auto& entry : fs::directory_iterator(share / ".snapshot"))
        snapshots.emplace_back(entry.last_write_time(), entry.path());
    if (snapshots.size() < 2) return false;
    std::sort(snapshots.begin(), snapshots.end());
    base = snapshots[snapshots.size() - 2].second;
    current = snapshots.back().second;
    return true;
}

class Counter : public snapscan::PairVisitor {
public:
    void OnDifference(std::string_view, std::string_view, const snapscan::EntryState&,
                      const snapscan::EntryState&, unsigned, std::string&) override {
        ++differences;
    }
    void OnProblem(std::string_view, const std::string&) override { ++problems; }
    std::atomic<uint64_t> differences{0};
    std::atomic<uint64_t> problems{0};
};

// The bench's files go with it, whatever way it ends.
struct WorkDirectory {
    fs::path path;
    ~WorkDirectory() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
};

struct WalkFigures {
    double wall = 0;
    double cpu = 0;
    uint64_t entries = 0;
};

}  // namespace

// Writes dirty pages out and drops the page cache, dentries and inodes; false
// when not allowed (not root, or a read-only /proc/sys).
bool DropCaches() {
    ::sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    drop << "3\n";
    drop.flush();
    return static_cast<bool>(drop);
}

// Reads a program file and every library `ldd` lists for it into the page cache.
void WarmProgramFiles(const std::string& program) {
    std::vector<std::string> files = {program};
    const std::string command = "ldd '" + program + "' 2>/dev/null";
    if (FILE* ldd = popen(command.c_str(), "r")) {
        char line[4096];
        while (fgets(line, sizeof line, ldd) != nullptr) {
            const char* arrow = strstr(line, "=> /");
            if (arrow == nullptr) continue;
            std::string path = arrow + 3;
            path = path.substr(0, path.find(' '));
            files.push_back(path);
        }
        pclose(ldd);
    }
    std::vector<char> buffer(1 << 20);
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
        }
    }
}

int main(int argc, char** argv) {
    uint64_t files = 1000000;
    int rounds = 3;
    bool cold = false;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--cold") == 0) {
            cold = true;
        } else if (i + 1 < argc && strcmp(argv[i], "--files") == 0) {
            files = strtoull(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && strcmp(argv[i], "--rounds") == 0) {
            rounds = atoi(argv[++i]);
        } else {
            usage = true;
        }
    }
    if (files < 100 || rounds <= 0 || usage) {
        fprintf(stderr, "usage: audit_bench [--files N (>= 100)] [--rounds R] [--cold]\n");
        return 2;
    }
    if (cold && !DropCaches()) {
        fprintf(stderr, "audit_bench: --cold needs to write /proc/sys/vm/drop_caches (root)\n");
        return 2;
    }
    char pattern[] = "/tmp/audit-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const WorkDirectory owned{pattern};
    const fs::path& work = owned.path;
    const fs::path ifs = work / "ifs";
    const fs::path share = ifs / "share";
    printf("audit_bench: %" PRIu64 " files in %" PRIu64 " directories, %d rounds, load %.2f\n",
           files, (files + kFilesPerDirectory - 1) / kFilesPerDirectory, rounds, Load());
    fflush(stdout);

    double start = Now();
    for (uint64_t i = 0; i < files; ++i) {
        if (i % kFilesPerDirectory == 0)
            fs::create_directories(share / ("d" + std::to_string(i / kFilesPerDirectory)));
        if (!WriteText(FilePath(share, i), "")) return 1;
    }
    printf("setup: tree made in %.1f s\n", Now() - start);

    ArraySimProcess sim;
    std::string error;
    if (!sim.Start(ARRAYSIM_PATH, work.string(),
                   {"--root", ifs.string(), "--user", "bench", "--password", "bench-pw",
                    "--durable-snapshots"},
                   error)) {
        fprintf(stderr, "arraysim: %s\n", error.c_str());
        return 1;
    }
    fs::create_directories(work / "config");
    WriteText(work / "config" / "credentials.ini",
              "[client 1]\nfileServer = " + sim.Url() +
                  "\nuser = bench\npassword = bench-pw\n"
                  // arraysim copies the whole tree while the snapshot request waits.
                  "lowSpeedTimeSeconds = 900\n");
    fs::permissions(work / "config" / "credentials.ini",
                    fs::perms::owner_read | fs::perms::owner_write);
    WriteText(work / "config" / "settings.ini",
              "[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 600\n");
    WriteText(work / "mounts", "127.0.0.1:/ifs/share " + share.string() + " nfs rw 0 0\n");
    setenv("SNAPSCAN_CONFIG_DIR", (work / "config").c_str(), 1);
    setenv("SNAPSCAN_LOG_DIR", (work / "log").c_str(), 1);
    setenv("SNAPSCAN_STATE_DIR", (work / "state").c_str(), 1);
    setenv("SNAPSCAN_LOCK_DIR", (work / "locks").c_str(), 1);
    setenv("SNAPSCAN_MOUNT_TABLE", (work / "mounts").c_str(), 1);

    JobFigures full;
    if (!Job(work, share, "full", full)) return 1;
    printf("setup: full job (arraysim snapshots and copies the tree) %.1f s\n", full.wall);
    fflush(stdout);

    const uint64_t changed = files / 100;
    JobFigures bestJob;
    WalkFigures bestPair;
    WalkFigures bestStat;
    for (int round = 0; round < rounds; ++round) {
        // Another 1% each round, spread over the directories.
        start = Now();
        for (uint64_t k = 0; k < changed; ++k) {
            const uint64_t i = (k * 100 + static_cast<uint64_t>(round) * 37 + 1) % files;
            if (!WriteText(FilePath(share, i), "round " + std::to_string(round) + "\n")) return 1;
        }
        const double changeSeconds = Now() - start;

        JobFigures job;
        if (cold) {
            DropCaches();
            WarmProgramFiles(SNAPSCAN_CLI_PATH);
            WarmProgramFiles(SNAPSCAN_PLUGIN_PATH);
            WarmProgramFiles(ARRAYSIM_PATH);  // stands for the array, not for this host
        }
        if (!Job(work, share, "r" + std::to_string(round), job)) return 1;

        fs::path basePath;
        fs::path currentPath;
        snapscan::SnapshotTree base;
        snapscan::SnapshotTree current;
        snapscan::SnapshotTree live;
        if (!NewestPair(share, basePath, currentPath) || !base.Open(basePath, error) ||
            !current.Open(currentPath, error) || !live.Open(share, error)) {
            fprintf(stderr, "snapshots: %s\n", error.c_str());
            return 1;
        }
        snapscan::WalkOptions options;
        options.threads = kThreads;
        options.identity = false;  // arraysim's copies
        Counter counter;
        WalkFigures pair;
        if (cold) DropCaches();
        double cpu = CpuOf(RUSAGE_SELF);
        start = Now();
        pair.entries = snapscan::WalkSnapshotPair(base, current, options, counter).entries;
        pair.wall = Now() - start;
        pair.cpu = CpuOf(RUSAGE_SELF) - cpu;

        WalkFigures stat;
        if (cold) DropCaches();
        cpu = CpuOf(RUSAGE_SELF);
        start = Now();
        stat.entries = snapscan::StatWalk(live, kThreads);
        stat.wall = Now() - start;
        stat.cpu = CpuOf(RUSAGE_SELF) - cpu;

        printf("round %d: %" PRIu64
               " files changed (%.1f s, not timed)\n"
               "  job        %.2f s (snapshot %.2f s, changelist wait %.2f s, load %.2f s, "
               "delivery %.2f s), %" PRIu64
               " items, CLI CPU %.2f s\n"
               "  pair walk  %.2f s, %" PRIu64
               " entries, %.0f entries/s, CPU %.2f us/entry, "
               "%" PRIu64
               " differences\n"
               "  stat walk  %.2f s, %" PRIu64
               " entries, %.0f entries/s, CPU %.2f us/entry"
               "  (load %.2f)\n",
               round + 1, changed, changeSeconds, job.wall, job.snapshot, job.wait, job.load,
               job.delivery, job.items, job.cpu, pair.wall, pair.entries, pair.entries / pair.wall,
               pair.cpu * 1e6 / pair.entries, counter.differences.load(), stat.wall, stat.entries,
               stat.entries / stat.wall, stat.cpu * 1e6 / stat.entries, Load());
        fflush(stdout);
        // The job is compared without its snapshot phase (the array's snapshot does not copy
        // the tree), so that is what the best round is chosen by.
        if (round == 0 || job.wall - job.snapshot < bestJob.wall - bestJob.snapshot) bestJob = job;
        if (round == 0 || pair.wall < bestPair.wall) bestPair = pair;
        if (round == 0 || stat.wall < bestStat.wall) bestStat = stat;
    }

    printf("page cache: %s\n", cold ? "dropped before the job (its program files read back) and "
                                      "each walk (--cold)"
                                    : "warm");
    const double detection = bestJob.wall - bestJob.snapshot;
    printf(
        "best of %d: job %.2f s (%.2f s without its snapshot phase), pair walk %.2f s, "
        "stat walk %.2f s\n",
        rounds, bestJob.wall, detection, bestPair.wall, bestStat.wall);
    printf("ratio pair walk / job: %.1fx (without the snapshot phase %.1fx)\n",
           bestPair.wall / bestJob.wall, bestPair.wall / detection);
    printf("ratio stat walk / job: %.1fx (without the snapshot phase %.1fx)\n",
           bestStat.wall / bestJob.wall, bestStat.wall / detection);
    printf("goal %.0fx without the snapshot phase: pair walk %s, stat walk %s\n", kGoal,
           bestPair.wall / detection >= kGoal ? "met" : "NOT MET",
           bestStat.wall / detection >= kGoal ? "met" : "NOT MET");
    return 0;
}
