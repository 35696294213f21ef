#include "tools/snapscan/job_runner.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <list>
#include <memory>
#include <set>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "host/ContentMapper.h"
#include "host/FXErrorUtil.h"

namespace snapscan {

namespace {

// The agent's application type for file-system content; the plug-in only holds it.
constexpr ULONG kAppType = 33;

// The plug-in answers this when a share has no usable snapshot pair: no previous
// snapshot (first job of the share, or deleted), or no current one (the share is
// read from the live file system). The agent then reads the share in full.
constexpr const char* kNoComparisonBase = "Could not compare snapshots for path [";

struct ClientDeleter {
    void operator()(CFileServerSnapClientBase* client) const { delete client; }
};
using ClientPtr = std::unique_ptr<CFileServerSnapClientBase, ClientDeleter>;

ClientPtr NewClient(GetSnapClientFn getClient, Output& out) {
    ClientPtr client(getClient());
    if (!client) out.Error("GetSnapClient", "the plug-in made no client (out of memory)");
    return client;
}

// A failed plug-in call: its failure text, and the last error line it logged,
// which often holds the cause its fixed text leaves out.
bool Failed(const CRwError& result, const std::string& phase, Output& out) {
    const std::string logged = TakeLoggedError();
    if (!result.IsError()) return false;
    out.Error(phase, logged.empty() ? result.AsString() : result.AsString() + " | logged: " + logged);
    return true;
}

bool Initialize(CFileServerSnapClientBase& client, int64_t jobId, uint32_t clientId,
                uint32_t subclientId, const std::string& resultsDir, const std::string& mapFile,
                int64_t prevJobId, const ContentMapperAPIPtr& mapper, Output& out) {
    return !Failed(client.Initialize(jobId, clientId, kAppType, subclientId, resultsDir, "",
                                     mapFile, prevJobId, 0, 0, 0, mapper),
                   "Initialize", out);
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The path the backup reads a share from, as the plug-in handed it to the
// content mapper: below ".snapshot" when the share has a usable snapshot.
std::string ReadPathOf(const ContentMapperAPIPtr& mapper, const std::string& share) {
    boost::shared_ptr<CContentMapper> concrete = boost::dynamic_pointer_cast<CContentMapper>(mapper);
    if (!concrete) return std::string();
    const auto& map = concrete->GetPathMap();
    auto it = map.find(WithTrailingSlash(share));
    return it == map.end() ? std::string() : it->second;
}

bool PrepareJobFiles(const JobRequest& request, Output& out) {
    std::error_code ec;
    std::filesystem::create_directories(request.resultsDir, ec);
    if (ec) {
        out.Error("job", "cannot create the results directory " + request.resultsDir + ": " +
                             ec.message());
        return false;
    }
    // The plug-in appends to the map file; it belongs to this job alone, so it
    // starts empty (the agent names a new one for every job).
    std::ofstream map(request.mapFile, std::ios::trunc);
    if (!map) {
        out.Error("job", "cannot create the snapshot map file " + request.mapFile);
        return false;
    }
    return true;
}

enum class Delivery { kDelivered, kNoBase, kFailed };

// Compares one share and hands on its items up to the end item.
Delivery DeliverShare(CFileServerSnapClientBase& client, const JobRequest& request,
                      const std::string& share, const std::string& readPath, Output& out) {
    std::function<FileServerSnapshotCompareItem()> next;
    const CRwError result = client.CompareSnapshots(share, readPath, next);
    if (result.IsError()) {
        if (FXErrorUtil::MessageOf(result).rfind(kNoComparisonBase, 0) == 0) {
            out.Emit({{"event", "fullScan"}, {"share", share}, {"reason", "no comparison base"}},
                     "share " + share + ": no comparison base, read in full");
            return Delivery::kNoBase;
        }
        out.Error("CompareSnapshots of " + share, result.AsString());
        return Delivery::kFailed;
    }
    if (!next) {
        out.Error("CompareSnapshots of " + share, "the plug-in handed back no item source");
        return Delivery::kFailed;
    }

    out.Emit({{"event", "compare"}, {"share", share}}, "changes of " + share + ":");
    uint64_t count = 0;
    for (;;) {
        const FileServerSnapshotCompareItem item = next();
        if (item.type == 5) break;
        if (item.type < 2 || item.type > 4) {
            out.Error("reading the changes of " + share,
                      item.type == 6 ? "the plug-in reported a failure item (see its log)"
                                     : "unexpected item kind " + std::to_string(item.type));
            return Delivery::kFailed;
        }
        out.Emit(ItemRecord(share, item), ItemText(item));
        ++count;
        if (request.progressEvery != 0 && count % request.progressEvery == 0)
            out.Progress("snapscan: " + share + ": " + std::to_string(count) + " items");
    }
    out.Emit({{"event", "shareDone"}, {"share", share}, {"items", count}},
             "share " + share + ": " + std::to_string(count) + " changed items");
    return Delivery::kDelivered;
}

}  // namespace

JobOutcome RunJob(GetSnapClientFn getClient, const JobRequest& request, Output& out,
                  const std::function<bool()>& onDelivered) {
    JobOutcome outcome;
    const bool incremental = request.prevJobId != 0;
    out.Emit({{"event", "job"},
              {"clientId", request.clientId},
              {"subclientId", request.subclientId},
              {"jobId", request.jobId},
              {"prevJobId", request.prevJobId},
              {"type", incremental ? "incremental" : "full"}},
             "job " + std::to_string(request.jobId) + " of client " + std::to_string(request.clientId) +
                 " subclient " + std::to_string(request.subclientId) + ": " +
                 (incremental ? "incremental against job " + std::to_string(request.prevJobId)
                              : std::string("full")));
    if (!PrepareJobFiles(request, out)) return outcome;

    std::list<std::string> scanPaths(request.shares.begin(), request.shares.end());
    {
        ClientPtr client = NewClient(getClient, out);
        if (!client) return outcome;

        ContentMapperAPIPtr mapper;
        if (request.autoMount) mapper = boost::make_shared<CContentMapper>();
        if (!Initialize(*client, request.jobId, request.clientId, request.subclientId, request.resultsDir,
                        request.mapFile, request.prevJobId, mapper, out))
            return outcome;
        // The check releases the connection whatever its outcome; the snapshot
        // phase needs it opened again.
        if (Failed(client->VerifySnapScanSupport(), "VerifySnapScanSupport", out)) return outcome;
        if (Failed(client->InitArray(request.clientId), "InitArray", out)) return outcome;
        if (Failed(client->ConfigureSnapshot(scanPaths, {}, {}), "ConfigureSnapshot", out))
            return outcome;

        const std::set<std::string> processed(scanPaths.begin(), scanPaths.end());
        for (const std::string& share : request.shares) {
            if (processed.count(share) != 0) continue;
            outcome.status = kExitPartial;
            out.Emit({{"event", "notProcessed"}, {"share", share}},
                     "share " + share + ": not processed (see the log)");
        }
        if (Failed(client->UpdateContentMapperPaths(mapper), "UpdateContentMapperPaths", out))
            return outcome;

        std::set<std::string> compared;
        for (const std::string& share : scanPaths) {
            if (!compared.insert(WithoutTrailingSlash(share)).second) continue;  // listed twice
            const std::string readPath = ReadPathOf(mapper, share);
            out.Emit({{"event", "share"}, {"share", share}, {"readPath", readPath}},
                     "share " + share + " is read from " + readPath);
            if (!incremental) {
                out.Emit({{"event", "fullScan"}, {"share", share}, {"reason", "full job"}},
                         "share " + share + ": full job, read in full");
                continue;
            }
            if (DeliverShare(*client, request, share, readPath, out) == Delivery::kFailed)
                return outcome;
        }
    }
    outcome.delivered = true;
    if (onDelivered && !onDelivered()) {
        outcome.status = kExitFailed;
        return outcome;
    }

    if (!request.skipCleanup) {
        // After the backup the agent cleans up through a new client whose
        // Initialize opened the connection.
        ClientPtr client = NewClient(getClient, out);
        if (!client ||
            !Initialize(*client, request.jobId, request.clientId, request.subclientId, request.resultsDir, "",
                        request.prevJobId, ContentMapperAPIPtr(), out) ||
            Failed(client->CleanupSnapshotsPostBackup(true), "CleanupSnapshotsPostBackup", out)) {
            outcome.status = kExitFailed;
            return outcome;
        }
        out.Emit({{"event", "cleanup"}, {"jobId", request.jobId}},
                 "post-backup cleanup done: only job " + std::to_string(request.jobId) +
                     "'s snapshots remain");
    }
    if (outcome.status != kExitPartial) outcome.status = kExitOk;
    out.Emit({{"event", "done"}, {"jobId", request.jobId}, {"status", outcome.status}},
             "job " + std::to_string(request.jobId) +
                 (outcome.status == kExitOk ? " succeeded" : " completed with unprocessed shares"));
    return outcome;
}

int RunChainedJob(GetSnapClientFn getClient, JobRequest request, const JobStateStore& store,
                  Output& out) {
    std::string error;
    ContentLock lock;
    if (!lock.Acquire(store, request.clientId, request.subclientId, error)) {
        out.Error("job", error);
        return kExitFailed;
    }
    ContentState state;
    if (!store.Load(request.clientId, request.subclientId, state, error)) {
        out.Error("job", error);
        return kExitFailed;
    }
    if (state.lastIssuedJobId == std::numeric_limits<int64_t>::max()) {
        out.Error("job", "no job id left in " + store.StatePath(request.clientId, request.subclientId));
        return kExitFailed;
    }
    request.jobId = state.lastIssuedJobId + 1;
    request.prevJobId = state.baseJobId;
    state.lastIssuedJobId = request.jobId;
    if (!store.Save(request.clientId, request.subclientId, state, error)) {
        out.Error("job", error);
        return kExitFailed;
    }

    // The job becomes the base before the post-backup cleanup deletes the old
    // base's snapshots: a run that dies during the cleanup must leave the next
    // job a base whose snapshots are still there. Were the state not saved, the
    // cleanup would not run either, and the old base would stay usable.
    const JobOutcome outcome = RunJob(getClient, request, out, [&] {
        state.baseJobId = request.jobId;
        if (store.Save(request.clientId, request.subclientId, state, error)) return true;
        out.Error("job", error);
        return false;
    });
    return outcome.status;
}

int RunVerify(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId, Output& out) {
    ClientPtr client = NewClient(getClient, out);
    if (!client || !Initialize(*client, 0, clientId, subclientId, "", "", 0, ContentMapperAPIPtr(), out) ||
        Failed(client->VerifySnapScanSupport(), "VerifySnapScanSupport", out))
        return kExitFailed;
    out.Emit({{"event", "verify"}, {"clientId", clientId}, {"supported", true}},
             "the array of client " + std::to_string(clientId) + " supports snap scan");
    return kExitOk;
}

int RunCleanup(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId, int64_t jobId,
               Output& out) {
    ClientPtr client = NewClient(getClient, out);
    if (!client ||
        !Initialize(*client, jobId, clientId, subclientId, "", "", 0, ContentMapperAPIPtr(), out) ||
        Failed(client->CleanupSnapshotsPostBackup(true), "CleanupSnapshotsPostBackup", out))
        return kExitFailed;
    out.Emit({{"event", "cleanup"}, {"jobId", jobId}},
             "post-backup cleanup done: only job " + std::to_string(jobId) + "'s snapshots remain");
    return kExitOk;
}

int RunDeleteFailed(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId,
                    int64_t jobId, const std::vector<std::string>& failedMounts, Output& out) {
    ClientPtr client = NewClient(getClient, out);
    ContentMapperAPIPtr mapper = boost::make_shared<CContentMapper>();
    const std::list<std::string> mounts(failedMounts.begin(), failedMounts.end());
    if (!client || !Initialize(*client, jobId, clientId, subclientId, "", "", 0, mapper, out) ||
        Failed(client->DeleteAutoMountFailedSnapshots(mounts), "DeleteAutoMountFailedSnapshots",
               out))
        return kExitFailed;
    out.Emit({{"event", "deleteFailed"}, {"jobId", jobId}, {"shares", failedMounts}},
             "job " + std::to_string(jobId) + "'s snapshots of " +
                 std::to_string(failedMounts.size()) + " failed shares deleted");
    return kExitOk;
}

}  // namespace snapscan
