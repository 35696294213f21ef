// Start-up configuration of the array emulator.
#pragma once

#include <cstdint>
#include <string>

namespace arraysim {

// A changelist generated without a tree, for benchmarks. Ratios are parts per million.
struct SyntheticOptions {
    uint64_t entries = 0;           // 0: synthetic mode off
    uint32_t duplicatePpm = 10000;  // present entries that repeat the previous inode (hard links)
    uint32_t renamePpm = 20000;  // distinct present inodes that were renamed (adds a removed entry)
    uint32_t removePpm = 50000;  // entries that are pure removals
    std::string path = "/ifs/data/synthetic";
};

struct SimOptions {
    std::string root;  // local directory standing for /ifs ("" only in synthetic mode)
    std::string bind = "127.0.0.1";  // loopback only
    int port = 0;                    // 0: ephemeral
    std::string user = "admin";
    std::string password = "secret";
    std::string clusterName = "cluster1";
    std::string release = "v8.1.2.0";
    std::string certFile;  // both set: HTTPS
    std::string keyFile;
    int64_t jobDelayMs = 0;         // a changelist job stays "running" this long
    int64_t changelistDelayMs = 0;  // and its changelist is missing this much longer
    uint32_t pageSize = 1000;       // default page of lists without ?limit
    bool snapshotDir = true;        // copy snapshot content under <dir>/.snapshot/<name>
    bool durableSnapshots = false;  // flush each copy and each removal before answering
    bool changelistCreateEnabled = true;
    bool lockNewSnapshots = false;
    uint32_t failNextJobs = 0;
    int64_t sessionIdleSec = 900;
    int64_t sessionMaxSec = 14400;
    int keepAliveSec = 5;
    // Type text of removed changelist entries; empty: the type the entry had in the older snapshot.
    std::string removedTypeText;
    std::string faultsFile;  // JSON: {"rules":[...],"control":{...}}
    SyntheticOptions synthetic;
};

}  // namespace arraysim
