// arraysim: serves the array's management API over a local directory standing for /ifs.
#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "snapscan/Version.h"
#include "tools/arraysim/server.h"

namespace {

bool WritePortFile(const std::string& path, int port) {
    // Written whole then renamed, so a reader polling for it never sees a partial number.
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp);
        out << port << "\n";
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

static int RunEmulator(int argc, char** argv) {
    arraysim::SimOptions o;
    std::string portFile;
    double dupRatio = 0.01, renameRatio = 0.02, removeRatio = 0.05;
    CLI::App app{
        "Emulates the array's management REST API over a local directory standing for /ifs"};
    app.set_version_flag("--version", std::string("arraysim ") + SNAPSCAN_VERSION);
    app.add_option("--root", o.root, "Local directory that stands for /ifs");
    app.add_option("--port", o.port, "Port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535));
    app.add_option("--bind", o.bind, "Loopback address to listen on");
    app.add_option("--port-file", portFile, "Write the port to this file once listening");
    app.add_option("--user", o.user, "User name accepted for sessions and Basic auth");
    app.add_option("--password", o.password, "Password accepted for sessions and Basic auth");
    app.add_option("--release", o.release, "onefs_version.release reported by cluster/config");
    app.add_option("--cluster-name", o.clusterName, "Cluster name reported by cluster/config");
    app.add_option("--cert", o.certFile, "PEM certificate (chain): serve HTTPS")
        ->check(CLI::ExistingFile);
    app.add_option("--key", o.keyFile, "PEM private key of --cert")->check(CLI::ExistingFile);
    app.add_option("--job-delay-ms", o.jobDelayMs, "How long changelist jobs run")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--changelist-delay-ms", o.changelistDelayMs,
                   "How long a changelist stays missing after its job succeeded")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--page-size", o.pageSize, "Entries per changelist page without ?limit")
        ->check(CLI::PositiveNumber);
    app.add_flag(
        "--no-snapshot-dir", [&o](int64_t) { o.snapshotDir = false; },
        "Do not make snapshot content readable under .snapshot");
    app.add_flag("--durable-snapshots", o.durableSnapshots,
                 "Flush a snapshot's copy, or its removal, to disk before answering");
    app.add_flag(
        "--changelist-disabled", [&o](int64_t) { o.changelistCreateEnabled = false; },
        "Start with the ChangelistCreate job type disabled");
    app.add_flag("--lock-new-snapshots", o.lockNewSnapshots, "Give every new snapshot a lock");
    app.add_option("--fail-next-jobs", o.failNextJobs, "The next N changelist jobs fail");
    app.add_option("--session-idle-s", o.sessionIdleSec, "Idle seconds before a session expires")
        ->check(CLI::PositiveNumber);
    app.add_option("--session-max-s", o.sessionMaxSec, "Seconds a session lives at most")
        ->check(CLI::PositiveNumber);
    app.add_option("--keep-alive-s", o.keepAliveSec,
                   "Idle seconds before a kept-alive connection is closed")
        ->check(CLI::PositiveNumber);
    app.add_option(
        "--removed-type", o.removedTypeText,
        "Type text of removed changelist entries (default: their type in the older snapshot)");
    app.add_option("--faults", o.faultsFile, "JSON file: {\"rules\":[...],\"control\":{...}}")
        ->check(CLI::ExistingFile);
    app.add_option(
        "--synthetic", o.synthetic.entries,
        "Serve a generated changelist of N entries for every changelist job (no tree needed); "
        "snapshots 1 and 2 exist from the start");
    app.add_option("--synthetic-path", o.synthetic.path, "Root path of the synthetic snapshots");
    app.add_option("--synthetic-dup-ratio", dupRatio, "Share of present entries repeating an inode")
        ->check(CLI::Range(0.0, 0.5));
    app.add_option("--synthetic-rename-ratio", renameRatio, "Share of inodes renamed")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--synthetic-remove-ratio", removeRatio, "Share of entries removed")
        ->check(CLI::Range(0.0, 1.0));
    CLI11_PARSE(app, argc, argv);
    o.synthetic.duplicatePpm = static_cast<uint32_t>(dupRatio * 1e6);
    o.synthetic.renamePpm = static_cast<uint32_t>(renameRatio * 1e6);
    o.synthetic.removePpm = static_cast<uint32_t>(removeRatio * 1e6);

    // Signals are taken by sigwait below; every server thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Pages of changelists are a few hundred KiB each. Left to its defaults, the allocator maps
    // each one afresh or hands the server threads' heaps back to the system between requests,
    // and every page is then paid in page faults: keep the memory instead.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);

    arraysim::ArraySim sim(o);
    std::string error;
    if (!sim.Start(error)) {
        std::cerr << "arraysim: " << error << std::endl;
        return 1;
    }
    if (!portFile.empty() && !WritePortFile(portFile, sim.Port())) {
        std::cerr << "arraysim: cannot write " << portFile << std::endl;
        return 1;
    }
    std::cout << "listening on " << sim.Url() << std::endl;
    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.Stop();
    return 0;
}

int main(int argc, char** argv) {
    try {
        return RunEmulator(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "arraysim: internal error: " << e.what() << '\n';
    }
    return 1;
}
