// A whole incremental `snapscan job` (the built CLI as a child process, the
// plug-in it loads, the emulator's synthetic changelist) against the plug-in
// alone on the same changelist in the same run:
//   rate      changelist entries per second of the whole job, in each output
//             form, vs CompareSnapshots plus draining every item in process
//   memory    peak RSS of the CLI (its own, from wait4) at LARGE entries vs at
//             ENTRIES, and against a fixed ceiling
//   CPU       per entry of the CLI and of the emulator in each job
// Every job writes its output to a file. The emulator serves pages of 1,000
// with a few percent duplicates, renames and removals; its memory is not counted.
//
//   job_bench [--entries N=1000000] [--large N=10000000 (0: none)] [--rounds R=3]
//             [--large-rounds R=3]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "host/LogWriter.h"
#include "host/ManageIsilon.h"
#include "snapclient/IsilonSnapClient.h"
#include "tests/doubles/snap_client_peer.h"
#include "tests/support/arraysim_process.h"
#include "tests/support/bench_support.h"

extern char** environ;

namespace {

using bench::Load;
using bench::MicrosPerEntry;
using bench::Now;
using bench::Verdict;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";
constexpr const char* kSyntheticPath = "/ifs/data/synthetic";
constexpr const char* kBaseName = "synthetic_base";
constexpr const char* kIncrName = "synthetic_new";
constexpr unsigned long kClientId = 1;

constexpr const char* kUsage =
    "usage: job_bench [--entries N] [--large N] [--rounds R] [--large-rounds R]\n";
constexpr double kRateGoal = 0.7;
constexpr double kMemoryGoalRatio = 1.2;
constexpr double kMemoryGoalMiB = 128.0;

// The output forms of a job: the CLI's arguments beyond the job's own. A form
// the CLI lacks is one more line here.
struct Form {
    const char* name;
    std::vector<std::string> args;
};

std::vector<Form> Forms(const std::string& dir) {
    return {
        {"text", {"--list-changes"}},
        {"json", {"--json"}},
        {"changes-out nul", {"--changes-out", dir + "/changes", "--changes-format", "nul"}},
        {"changes-out jsonl", {"--changes-out", dir + "/changes", "--changes-format", "jsonl"}},
    };
}

struct JobFigures {
    double seconds = 0;
    double cliCpu = -1, simCpu = -1;  // seconds
    long peakRssKiB = -1;
    uint64_t outputBytes = 0;
};

// One size: a work directory with the CLI's configuration, state and mount
// table, and an emulator serving a synthetic changelist of n entries.
class Run {
public:
    ~Run() {
        m_sim.Stop();
        if (!m_root.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_root, ignored);
        }
    }

    bool Start(uint64_t n) {
        m_entries = n;
        char pattern[] = "/tmp/snapscan-job-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        m_root = pattern;
        for (const char* sub : {"config", "log", "state", "locks", "results"})
            std::filesystem::create_directories(m_root + "/" + sub);
        // The share is "mounted" at the directory that stands for its array path, where the
        // emulator shows each snapshot's (empty) directory.
        std::filesystem::create_directories(Share());
        std::string error;
        if (!m_sim.Start(
                ARRAYSIM_PATH, m_root,
                {"--root", m_root + "/ifs", "--synthetic", std::to_string(n), "--synthetic-path",
                 kSyntheticPath, "--page-size", "1000", "--synthetic-dup-ratio", "0.02",
                 "--synthetic-rename-ratio", "0.03", "--synthetic-remove-ratio", "0.02", "--user",
                 kUser, "--password", kPassword},
                error)) {
            fprintf(stderr, "arraysim: %s\n", error.c_str());
            return false;
        }
        m_simPid = bench::FirstChildPid();
        const std::string credentials = m_root + "/config/credentials.ini";
        {
            std::ofstream out(credentials);
            out << "[client " << kClientId << "]\nfileServer = " << m_sim.Url()
                << "\nuser = " << kUser << "\npassword = " << kPassword << "\n";
        }
        chmod(credentials.c_str(), 0600);
        {
            std::ofstream mounts(m_root + "/mounts");
            mounts << "127.0.0.1:" << kSyntheticPath << " " << Share() << " nfs rw 0 0\n";
        }
        setenv("SNAPSCAN_CONFIG_DIR", (m_root + "/config").c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", (m_root + "/log").c_str(), 1);
        setenv("SNAPSCAN_STATE_DIR", (m_root + "/state").c_str(), 1);
        setenv("SNAPSCAN_LOCK_DIR", (m_root + "/locks").c_str(), 1);
        setenv("SNAPSCAN_MOUNT_TABLE", (m_root + "/mounts").c_str(), 1);
        // The full job that every incremental one chains to.
        JobFigures full;
        return Job({}, "full", full);
    }

    // One job with `extra` arguments, its output in a file; true when it exited 0.
    bool Job(const std::vector<std::string>& extra, const std::string& tag, JobFigures& figures) {
        const std::string results = m_root + "/results/" + tag;
        std::vector<std::string> args = {
            SNAPSCAN_CLI,     "--plugin", SNAPSCAN_PLUGIN, "--progress",
            "never",          "job",      "--client-id",   "1",
            "--subclient-id", "1",        "--share",       Share(),
            "--results-dir",  results,    "--map-file",    results + "/map"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string out = m_root + "/job.out", err = m_root + "/job.err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        const double sim0 = bench::CpuSeconds(m_simPid);
        {
            // The last job's output is removed, not truncated by the next one: ext4 sends
            // a file truncated and written anew to the disk when it is closed (0.5 to 0.6 s
            // at the close of 2.5 GB here), which would time the disk, not the job. A form's
            // changes files must not count in the next form's output either.
            std::error_code ignored;
            std::filesystem::remove(out, ignored);
            for (const auto& entry : std::filesystem::directory_iterator(m_root, ignored))
                if (entry.path().filename().string().rfind("changes", 0) == 0)
                    std::filesystem::remove(entry.path(), ignored);
        }
        const double start = Now();
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return false;
        int status = -1;
        double cpu = -1;
        if (!bench::WaitChild(pid, status, figures.peakRssKiB, cpu)) return false;
        figures.seconds = Now() - start;
        figures.cliCpu = cpu;
        const double sim1 = bench::CpuSeconds(m_simPid);
        figures.simCpu = sim0 < 0 || sim1 < 0 ? -1 : sim1 - sim0;
        std::error_code ignored;
        figures.outputBytes = std::filesystem::file_size(out, ignored);
        // The changes files count as output too: the lists, the removed list, the JSON lines.
        const std::filesystem::path outDir = std::filesystem::path(out).parent_path();
        for (const auto& entry : std::filesystem::directory_iterator(outDir, ignored))
            if (entry.path().filename().string().rfind("changes", 0) == 0)
                figures.outputBytes += entry.file_size(ignored);
        if (status != 0) {
            std::ifstream text(err);
            std::string line;
            fprintf(stderr, "job %s exited %d:\n", tag.c_str(), status);
            while (std::getline(text, line)) fprintf(stderr, "  %s\n", line.c_str());
        }
        return status == 0;
    }

    // The plug-in alone on the emulator's own snapshot pair: CompareSnapshots,
    // then every item drained. In a child process, so that this one stays
    // smaller than the CLI it measures. Entries per second, 0 on failure.
    double PluginAlone(double& cpuSeconds) {
        int channel[2];
        if (pipe(channel) != 0) return 0;
        fflush(stdout);
        const pid_t child = fork();
        if (child < 0) return 0;
        if (child == 0) {
            close(channel[0]);
            double figures[2] = {0, -1};
            figures[0] = PluginAloneHere(figures[1]);
            const ssize_t written = write(channel[1], figures, sizeof figures);
            _exit(figures[0] > 0 && written == static_cast<ssize_t>(sizeof figures) ? 0 : 1);
        }
        close(channel[1]);
        double figures[2] = {0, -1};
        const ssize_t got = read(channel[0], figures, sizeof figures);
        close(channel[0]);
        int status = -1;
        long ignoredKiB = 0;
        double ignoredCpu = 0;
        if (!bench::WaitChild(child, status, ignoredKiB, ignoredCpu) || status != 0 ||
            got != static_cast<ssize_t>(sizeof figures))
            return 0;
        cpuSeconds = figures[1];
        return figures[0];
    }

    const std::string& SimPid() const { return m_simPid; }
    const std::string& Root() const { return m_root; }

private:
    double PluginAloneHere(double& cpuSeconds) {
        g_ptrLogWriter = boost::make_shared<bench::ErrorsToStderr>();
        if (!FindSnapshots()) return 0;
        CIsilonSnapClient client;
        const std::string results = m_root + "/results/plugin";
        std::filesystem::create_directories(results);
        const CRwError initialized = client.Initialize(2, kClientId, 0, 1, results, "", "", 1, 0, 0,
                                                       0, ContentMapperAPIPtr());
        if (initialized.IsError()) {
            fprintf(stderr, "Initialize: %s\n", initialized.AsString().c_str());
            return 0;
        }
        FileServerExportInfo share;
        share.scanPath = Share();
        share.snapshotName = kIncrName;
        share.snapshotId = m_incr;
        share.prevSnapshotName = kBaseName;
        share.prevSnapshotId = m_base;
        share.hasSnapshotPair = true;
        CIsilonSnapClientTest::SetShares(client, {share});
        const double cpu0 = bench::CpuSeconds("self");
        const double start = Now();
        std::function<FileServerSnapshotCompareItem()> next;
        const CRwError compared = client.CompareSnapshots(Share(), Share(), next);
        if (compared.IsError()) {
            fprintf(stderr, "CompareSnapshots: %s\n", compared.AsString().c_str());
            return 0;
        }
        uint64_t items = 0, checksum = 0;
        for (;;) {
            const FileServerSnapshotCompareItem item = next();
            if (item.type == 5) break;
            if (item.type < 2 || item.type > 4) return 0;
            checksum += item.path.size() + item.info.inode;
            ++items;
        }
        const double seconds = Now() - start;
        cpuSeconds = bench::CpuSeconds("self") - cpu0;
        if (checksum == 42) fputc(' ', stderr);
        return static_cast<double>(m_entries) / seconds;
    }

    std::string Share() const { return m_root + "/ifs/data/synthetic"; }

    bool FindSnapshots() {
        if (m_base != 0) return true;
        ManageIsilon array;
        array.SetFileServer(m_sim.Url());
        array.SetUser(kUser);
        array.SetPasswd(kPassword);
        std::vector<_IsilonSnapInfo> snapshots;
        if (!array.OpenConnection() || !array.GetSnapshotList(snapshots, "", "")) {
            fprintf(stderr, "cannot list the emulator's snapshots\n");
            return false;
        }
        for (const _IsilonSnapInfo& snapshot : snapshots) {
            if (snapshot.name == kBaseName) m_base = static_cast<uint64_t>(snapshot.id);
            if (snapshot.name == kIncrName) m_incr = static_cast<uint64_t>(snapshot.id);
        }
        return m_base != 0 && m_incr != 0;
    }

    uint64_t m_entries = 0;
    std::string m_root;
    ArraySimProcess m_sim;
    std::string m_simPid;
    uint64_t m_base = 0, m_incr = 0;
};

struct SizeFigures {
    double plugin = 0;                        // best entries/s of the plug-in alone
    bench::Best pluginCpu;                    // us/entry
    std::vector<double> rate;                 // best entries/s per form
    std::vector<long> peakKiB;                // highest peak RSS per form
    std::vector<bench::Best> cliCpu, simCpu;  // lowest us/entry per form
    std::vector<uint64_t> bytes;              // output bytes per form
};

bool Measure(uint64_t n, int rounds, SizeFigures& figures) {
    Run run;
    if (!run.Start(n)) return false;
    const std::vector<Form> forms = Forms(run.Root());
    figures.rate.assign(forms.size(), 0);
    figures.peakKiB.assign(forms.size(), 0);
    figures.cliCpu.assign(forms.size(), bench::Best());
    figures.simCpu.assign(forms.size(), bench::Best());
    figures.bytes.assign(forms.size(), 0);
    int job = 0;
    for (int round = 0; round < rounds; ++round) {
        // The plug-in and the CLI take turns, so that neither alone profits
        // from a quiet moment of the machine.
        double cpu = -1;
        const double plugin = run.PluginAlone(cpu);
        if (plugin == 0) return false;
        figures.plugin = std::max(figures.plugin, plugin);
        figures.pluginCpu.Lowest(MicrosPerEntry(cpu, n));
        printf("%" PRIu64 " entries, round %d: plug-in alone %.0f entries/s, CPU %.2f us/entry\n",
               n, round + 1, plugin, MicrosPerEntry(cpu, n));
        for (size_t f = 0; f < forms.size(); ++f) {
            JobFigures jobFigures;
            if (!run.Job(forms[f].args, "job" + std::to_string(++job), jobFigures)) return false;
            const double rate = static_cast<double>(n) / jobFigures.seconds;
            printf("%" PRIu64
                   " entries, round %d: job %-17s %.0f entries/s (%.2f s), peak RSS "
                   "%.1f MiB, CPU us/entry: CLI %.2f + emulator %.2f, output %.1f MB (load %.2f)\n",
                   n, round + 1, forms[f].name, rate, jobFigures.seconds,
                   jobFigures.peakRssKiB / 1024.0, MicrosPerEntry(jobFigures.cliCpu, n),
                   MicrosPerEntry(jobFigures.simCpu, n), jobFigures.outputBytes / 1e6, Load());
            fflush(stdout);
            figures.rate[f] = std::max(figures.rate[f], rate);
            figures.peakKiB[f] = std::max(figures.peakKiB[f], jobFigures.peakRssKiB);
            figures.cliCpu[f].Lowest(MicrosPerEntry(jobFigures.cliCpu, n));
            figures.simCpu[f].Lowest(MicrosPerEntry(jobFigures.simCpu, n));
            figures.bytes[f] = jobFigures.outputBytes;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t entries = 1000000, large = 10000000;
    int rounds = 3, largeRounds = 3;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--entries") == 0 && hasValue)
            entries = strtoull(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--large") == 0 && hasValue)
            large = strtoull(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--rounds") == 0 && hasValue)
            rounds = atoi(argv[++i]);
        else if (strcmp(argv[i], "--large-rounds") == 0 && hasValue)
            largeRounds = atoi(argv[++i]);
        else {
            fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    if (entries == 0 || rounds <= 0 || largeRounds <= 0) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    printf("load average at start: %.2f\n", Load());
    fflush(stdout);

    const std::vector<Form> forms = Forms("");
    SizeFigures small, big;
    if (!Measure(entries, rounds, small)) return 1;
    // A round of the large changelist takes a minute and more, and its rate moves with the
    // machine as much as the small one's: best of its own rounds too.
    if (large > 0 && !Measure(large, largeRounds, big)) return 1;

    printf("best of %d rounds at %" PRIu64 " entries (best of %d at %" PRIu64 "):\n", rounds,
           entries, largeRounds, large);
    printf("plug-in alone (CompareSnapshots + drain): %.0f entries/s, CPU %.2f us/entry\n",
           small.plugin, small.pluginCpu.value);
    for (size_t f = 0; f < forms.size(); ++f) {
        const double ratio = small.rate[f] / small.plugin;
        // CPU per entry, lowest of the rounds on both sides, tells the CLI's own cost apart
        // from the machine's load, which moves the rates of single rounds a lot.
        printf(
            "job %-17s %10.0f entries/s   ratio %.2f of the plug-in alone (goal >= %.1f: %s)   "
            "CPU us/entry: CLI %.2f + emulator %.2f (plug-in alone / CLI: %.2f)   output %.0f "
            "bytes/entry\n",
            forms[f].name, small.rate[f], ratio, kRateGoal, Verdict(ratio >= kRateGoal),
            small.cliCpu[f].value, small.simCpu[f].value,
            small.pluginCpu.value / small.cliCpu[f].value,
            static_cast<double>(small.bytes[f]) / static_cast<double>(entries));
    }
    if (large > 0) {
        printf("plug-in alone at %" PRIu64 " entries: %.0f entries/s\n", large, big.plugin);
        for (size_t f = 0; f < forms.size(); ++f) {
            const double rateRatio = big.rate[f] / big.plugin;
            const double memoryRatio =
                static_cast<double>(big.peakKiB[f]) / static_cast<double>(small.peakKiB[f]);
            const double bigMiB = big.peakKiB[f] / 1024.0;
            printf("job %-17s at %" PRIu64
                   ": %.0f entries/s, ratio %.2f of the plug-in alone (goal "
                   ">= %.1f: %s); peak RSS %.1f MiB vs %.1f MiB at %" PRIu64
                   ": ratio %.2f (goal <= %.1f: %s), under %.0f MiB: %s\n",
                   forms[f].name, large, big.rate[f], rateRatio, kRateGoal,
                   Verdict(rateRatio >= kRateGoal), bigMiB, small.peakKiB[f] / 1024.0, entries,
                   memoryRatio, kMemoryGoalRatio, Verdict(memoryRatio <= kMemoryGoalRatio),
                   kMemoryGoalMiB, Verdict(bigMiB < kMemoryGoalMiB));
        }
    }
    printf("load average at end: %.2f\n", Load());
    return 0;
}
