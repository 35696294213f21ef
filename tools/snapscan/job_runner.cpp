#include "tools/snapscan/job_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <set>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "common/PrivateFiles.h"
#include "host/ContentMapper.h"
#include "host/FXErrorUtil.h"
#include "host/HostSleep.h"
#include "host/LogWriter.h"
#include "tools/snapscan/job_metrics.h"

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

// What an operator can act on, for the error lines the host and the plug-in
// log: the first line of a failure leads with these words.
struct Hint {
    const char* needle;
    const char* words;
};
constexpr Hint kHints[] = {
    {"] is not mounted on this proxy machine", "the share is not mounted: "},
    {"Couldn't get export path [", "the share is not on an NFS mount of the mount table: "},
    {"code [CONNECT_FAILED]", "the array cannot be reached: "},
    {"code [TIMEOUT]", "the array did not answer in time: "},
    {"code [TLS_FAILED]", "the array's TLS certificate or key was refused: "},
    {"code [AUTH_FAILED]", "the array refused the login: "},
    {"Credentials file [", "the credentials cannot be used: "},
};

// One line saying why a plug-in call failed: the error line it logged that an
// operator can act on (else the last one), or its message.
std::string CauseOf(const CRwError& result, const std::vector<std::string>& logged) {
    for (const Hint& hint : kHints) {
        for (const std::string& line : logged) {
            if (line.find(hint.needle) != std::string::npos) return hint.words + line;
        }
    }
    if (!logged.empty()) return logged.back();
    std::string cause = FXErrorUtil::MessageOf(result);
    if (cause.empty()) cause = "code " + std::to_string(FXErrorUtil::Win32CodeOf(result));
    return cause;
}

// The reason the plug-in logged for a share it did not read from a snapshot:
// its newest error line naming the share.
std::string LoggedReasonFor(const std::vector<std::string>& lines, const std::string& share) {
    std::string key = share;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->find(key) != std::string::npos) return EscapeControl(*it);
    }
    return "see the log";
}

// A failed plug-in call: the cause first, then its code and message, and its
// whole failure text with the trail for --verbose.
bool Failed(const CRwError& result, const std::string& phase, Output& out,
            const std::vector<std::string>& logged) {
    if (!result.IsError()) return false;
    std::string detail = result.AsString();
    if (!logged.empty()) detail += " | logged: " + logged.back();
    const uint32_t win32 = FXErrorUtil::Win32CodeOf(result);
    out.Error(phase, detail, CauseOf(result, logged),
              win32 != 0 ? win32 : static_cast<uint32_t>(FXErrorUtil::EventIdOf(result)),
              FXErrorUtil::MessagesOf(result));
    return true;
}

bool Failed(const CRwError& result, const std::string& phase, Output& out) {
    return Failed(result, phase, out, TakeLoggedErrors());
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Counts the time the plug-in sleeps while it waits for the array, and sleeps
// for real. In place while it lives.
class WaitCounter {
public:
    explicit WaitCounter(double& seconds) : m_seconds(seconds) {
        m_previous = SetTZSleepHook([this](unsigned int milliseconds, const char*, int) {
            m_seconds += milliseconds / 1000.0;
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        });
    }
    ~WaitCounter() { SetTZSleepHook(m_previous); }
    WaitCounter(const WaitCounter&) = delete;
    WaitCounter& operator=(const WaitCounter&) = delete;

private:
    double& m_seconds;
    TZSleepHook m_previous;
};

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

// A path with runs of "/" folded and without a trailing "/".
std::string Folded(const std::string& path) {
    std::string folded;
    for (const char c : path) {
        if (c == '/' && !folded.empty() && folded.back() == '/') continue;
        folded += c;
    }
    return WithoutTrailingSlash(folded);
}

// The path the backup reads a share from, as the plug-in handed it to the
// content mapper: below ".snapshot" when the share has a usable snapshot. The
// share may be spelled with runs of "/" the map key does not have.
std::string ReadPathOf(const ContentMapperAPIPtr& mapper, const std::string& share) {
    boost::shared_ptr<CContentMapper> concrete =
        boost::dynamic_pointer_cast<CContentMapper>(mapper);
    if (!concrete) return std::string();
    const auto& map = concrete->GetPathMap();
    auto it = map.find(WithTrailingSlash(share));
    if (it != map.end()) return it->second;
    const std::string folded = Folded(share);
    for (const auto& [key, readPath] : map) {
        if (Folded(key) == folded) return readPath;
    }
    return std::string();
}

bool PrepareJobFiles(const JobRequest& request, Output& out) {
    std::string problem;
    if (!privatefiles::MakeDirectories(request.resultsDir, problem)) {
        out.Error("job",
                  "cannot create the results directory " + request.resultsDir + ": " + problem);
        return false;
    }
    // The plug-in appends to the map file; it belongs to this job alone, so it
    // starts empty (the agent names a new one for every job). It says where the
    // backup reads each share from, so nobody else may write it. A link there is
    // the agent's choice and is followed.
    const int fd = ::open(request.mapFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        ((info.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)) {
        const std::string reason =
            fd < 0 ? std::strerror(errno) : "not a regular file of the user running";
        if (fd >= 0) close(fd);
        out.Error("job", "cannot create the snapshot map file " + request.mapFile + ": " + reason);
        return false;
    }
    close(fd);
    return true;
}

enum class Delivery { kDelivered, kNoBase, kFailed };

// Compares one share and hands on its items up to the end item.
Delivery DeliverShare(CFileServerSnapClientBase& client, const JobRequest& request,
                      const std::string& share, const std::string& readPath, Output& out,
                      ShareSummary& summary, ChangesWriter* changes) {
    if (request.progress) request.progress->Phase("changelist", share);
    std::function<FileServerSnapshotCompareItem()> next;
    const auto compareStart = std::chrono::steady_clock::now();
    CRwError result;
    {
        WaitCounter waits(summary.waitSeconds);
        result = client.CompareSnapshots(share, readPath, next);
    }
    summary.loadSeconds = std::max(0.0, SecondsSince(compareStart) - summary.waitSeconds);
    if (request.progress) summary.entries = request.progress->Entries();
    if (result.IsError()) {
        if (FXErrorUtil::MessageOf(result).rfind(kNoComparisonBase, 0) == 0) {
            TakeLoggedErrors();
            summary.mode = "full";
            summary.reason = "no comparison base";
            out.Emit({{"event", "fullScan"}, {"share", share}, {"reason", "no comparison base"}},
                     "share " + share + ": no comparison base, read in full");
            return Delivery::kNoBase;
        }
        Failed(result, "CompareSnapshots of " + share, out);
        return Delivery::kFailed;
    }
    if (!next) {
        out.Error("CompareSnapshots of " + share, "the plug-in handed back no item source");
        return Delivery::kFailed;
    }

    summary.mode = "incremental";
    std::string changesError;
    if (changes) {
        // Its place among the shares as given: the plug-in may spell it otherwise.
        size_t index = 0;
        while (index < request.shares.size() && Folded(request.shares[index]) != Folded(share))
            ++index;
        if (index == request.shares.size())
            changesError = "the plug-in compared " + share + ", which the job does not list";
        if (!changesError.empty() || !changes->BeginShare(index, share, readPath, changesError)) {
            out.Error("writing the changes file", changesError);
            return Delivery::kFailed;
        }
    }
    if (request.progress) request.progress->Phase("delivering", share);
    if (request.listChanges)
        out.Emit({{"event", "compare"}, {"share", share}}, "changes of " + share + ":");
    else if (out.Json())
        out.Emit({{"event", "compare"}, {"share", share}}, "");
    const auto deliveryStart = std::chrono::steady_clock::now();
    uint64_t count = 0;
    for (;;) {
        const FileServerSnapshotCompareItem item = next();
        if (item.type == 5) break;
        if (item.type < 2 || item.type > 4) {
            const std::vector<std::string> logged = TakeLoggedErrors();
            const std::string cause = logged.empty() ? std::string() : logged.back();
            out.Error("reading the changes of " + share,
                      item.type == 6 ? "the plug-in reported a failure item" +
                                           (cause.empty() ? std::string(" (see its log)")
                                                          : " | logged: " + cause)
                                     : "unexpected item kind " + std::to_string(item.type),
                      cause);
            return Delivery::kFailed;
        }
        // The JSON stream always carries every item; text lists them on request.
        if (out.Json() || request.listChanges) out.Emit(ItemRecord(share, item), ItemText(item));
        if (changes && !changes->Add(item, changesError)) {
            out.Error("writing the changes file", changesError);
            return Delivery::kFailed;
        }
        if (item.type == 2)
            ++summary.changed;
        else if (item.type == 3)
            ++summary.renamed;
        else
            ++summary.removed;
        ++count;
        if (request.progress && count % 256 == 0) request.progress->Items(count);
        if (request.progressEvery != 0 && count % request.progressEvery == 0)
            out.Progress("snapscan: " + share + ": " + std::to_string(count) + " items");
    }
    summary.deliverySeconds = SecondsSince(deliveryStart);
    out.Emit({{"event", "shareDone"},
              {"share", share},
              {"items", count},
              {"changed", summary.changed},
              {"renamed", summary.renamed},
              {"removed", summary.removed}},
             "share " + share + ": " + std::to_string(summary.changed) + " changed, " +
                 std::to_string(summary.renamed) + " renamed, " + std::to_string(summary.removed) +
                 " removed");
    return Delivery::kDelivered;
}

// The job's phases; RunJob adds the summary and the closing record.
JobOutcome RunJobPhases(GetSnapClientFn getClient, const JobRequest& request, Output& out,
                        const std::function<bool()>& onDelivered) {
    JobOutcome outcome;
    JobSummary& summary = outcome.summary;
    const bool incremental = request.prevJobId != 0;
    out.Emit({{"event", "job"},
              {"clientId", request.clientId},
              {"subclientId", request.subclientId},
              {"jobId", request.jobId},
              {"prevJobId", request.prevJobId},
              {"type", incremental ? "incremental" : "full"}},
             "job " + std::to_string(request.jobId) + " of client " +
                 std::to_string(request.clientId) + " subclient " +
                 std::to_string(request.subclientId) + ": " +
                 (incremental ? "incremental against job " + std::to_string(request.prevJobId)
                              : std::string("full")));
    if (!PrepareJobFiles(request, out)) return outcome;
    std::unique_ptr<ChangesWriter> changes;
    if (!request.changesOut.empty()) {
        changes = std::make_unique<ChangesWriter>(request.changesOut, request.changesFormat,
                                                  request.shares.size());
        std::string error;
        if (!changes->RemoveOld(error)) {
            out.Error("job", error);
            return outcome;
        }
    }

    std::list<std::string> scanPaths(request.shares.begin(), request.shares.end());
    bool allProcessed = true;
    bool allFromSnapshots = true;
    {
        ClientPtr client = NewClient(getClient, out);
        if (!client) return outcome;

        ContentMapperAPIPtr mapper;
        if (request.autoMount) mapper = boost::make_shared<CContentMapper>();
        if (!Initialize(*client, request.jobId, request.clientId, request.subclientId,
                        request.resultsDir, request.mapFile, request.prevJobId, mapper, out))
            return outcome;
        // The check gates change detection only: an array that cannot build
        // changelists still takes snapshots, and every share is then read in
        // full. Were the array unreachable, the snapshot phase fails next. The
        // check releases the connection whatever its outcome.
        if (request.progress) request.progress->Phase("checking the array");
        std::string noChangeDetection;
        const CRwError check = client->VerifySnapScanSupport();
        const std::vector<std::string> checkLogged = TakeLoggedErrors();
        if (check.IsError()) {
            noChangeDetection = EscapeControl(CauseOf(check, checkLogged));
            summary.snapScanUnavailable = noChangeDetection;
            out.Problem({{"event", "snapScanUnavailable"}, {"reason", noChangeDetection}},
                        "snap scan is not available (" + noChangeDetection +
                            "): every share is read in full");
        }
        if (Failed(client->InitArray(request.clientId), "InitArray", out)) return outcome;
        if (request.progress) request.progress->Phase("taking snapshots");
        const auto snapshotStart = std::chrono::steady_clock::now();
        const CRwError configured = client->ConfigureSnapshot(scanPaths, {}, {});
        summary.snapshotSeconds = SecondsSince(snapshotStart);
        // The lines it logged say why a share was left out or read live.
        const std::vector<std::string> snapshotProblems = TakeLoggedErrors();
        if (Failed(configured, "ConfigureSnapshot", out, snapshotProblems)) return outcome;

        const std::set<std::string> processed(scanPaths.begin(), scanPaths.end());
        for (const std::string& share : request.shares) {
            if (processed.count(share) != 0) continue;
            allProcessed = false;
            const std::string reason = LoggedReasonFor(snapshotProblems, share);
            summary.shares.push_back(ShareSummary{share, "", "notProcessed", reason});
            out.Problem({{"event", "notProcessed"}, {"share", share}, {"reason", reason}},
                        "share " + share + ": not processed: " + reason);
        }
        if (Failed(client->UpdateContentMapperPaths(mapper), "UpdateContentMapperPaths", out))
            return outcome;

        std::set<std::string> compared;
        for (const std::string& share : scanPaths) {
            if (!compared.insert(WithoutTrailingSlash(share)).second) continue;  // listed twice
            summary.shares.push_back(ShareSummary{share, ReadPathOf(mapper, share), "full", ""});
            ShareSummary& shareSummary = summary.shares.back();
            const std::string& readPath = shareSummary.readPath;
            out.Emit({{"event", "share"}, {"share", share}, {"readPath", readPath}},
                     "share " + share + " is read from " + readPath);
            if (readPath.find("/.snapshot/") == std::string::npos) {
                // The snapshot failed and the setting allowed the live file
                // system: the backup is not a stable image of the share.
                allFromSnapshots = false;
                shareSummary.mode = "live";
                shareSummary.reason = LoggedReasonFor(snapshotProblems, share);
                out.Problem(
                    {{"event", "liveRead"}, {"share", share}, {"reason", shareSummary.reason}},
                    "share " + share +
                        ": read from the live file system, not a snapshot: " + shareSummary.reason);
                out.Emit({{"event", "fullScan"}, {"share", share}, {"reason", "read live"}},
                         "share " + share + ": read live, read in full");
                continue;
            }
            if (!incremental) {
                shareSummary.reason = "full job";
                out.Emit({{"event", "fullScan"}, {"share", share}, {"reason", "full job"}},
                         "share " + share + ": full job, read in full");
                continue;
            }
            if (!noChangeDetection.empty()) {
                shareSummary.reason = "snap scan not available";
                out.Emit({{"event", "fullScan"},
                          {"share", share},
                          {"reason", "snap scan not available"}},
                         "share " + share + ": snap scan not available, read in full");
                continue;
            }
            if (DeliverShare(*client, request, share, readPath, out, shareSummary, changes.get()) ==
                Delivery::kFailed)
                return outcome;
        }
    }
    if (!allProcessed) {
        // The shares left out have handed nothing on: were this job the base,
        // their changes since the old base would never be backed up, and the
        // post-backup cleanup would delete the old base's snapshots.
        out.Problem({{"event", "notBase"}, {"jobId", request.jobId}},
                    "job " + std::to_string(request.jobId) +
                        " does not become the comparison base and runs no post-backup cleanup: a "
                        "share was not processed");
        outcome.status = kExitPartial;
        return outcome;
    }
    // The changes files are in place before the job can become the base: a
    // job whose changes did not reach them must leave the old base usable.
    std::string changesError;
    if (changes && !changes->Commit(changesError)) {
        out.Error("writing the changes file", changesError);
        return outcome;
    }
    outcome.delivered = true;
    if (onDelivered && !onDelivered()) {
        outcome.status = kExitFailed;
        return outcome;
    }

    if (!request.skipCleanup) {
        // After the backup the agent cleans up through a new client whose
        // Initialize opened the connection.
        if (request.progress) request.progress->Phase("post-backup cleanup");
        const auto cleanupStart = std::chrono::steady_clock::now();
        ClientPtr client = NewClient(getClient, out);
        if (!client ||
            !Initialize(*client, request.jobId, request.clientId, request.subclientId,
                        request.resultsDir, "", request.prevJobId, ContentMapperAPIPtr(), out) ||
            Failed(client->CleanupSnapshotsPostBackup(true), "CleanupSnapshotsPostBackup", out)) {
            outcome.status = kExitFailed;
            return outcome;
        }
        summary.cleanupSeconds = SecondsSince(cleanupStart);
        out.Emit({{"event", "cleanup"}, {"jobId", request.jobId}},
                 "post-backup cleanup done: only job " + std::to_string(request.jobId) +
                     "'s snapshots remain");
    }
    outcome.status = allFromSnapshots ? kExitOk : kExitPartial;
    return outcome;
}

const char* OutcomeWord(int status) {
    switch (status) {
        case kExitOk:
            return "succeeded";
        case kExitPartial:
            return "completed, but not every share was read from a snapshot of it";
        default:
            return "failed";
    }
}

std::string Duration(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The job's summary: per share how it was read and what changed, the time of
// each phase, and the outcome; in text a block and one line that says it all.
void EmitSummary(const JobRequest& request, const JobOutcome& outcome, double totalSeconds,
                 Output& out) {
    const JobSummary& summary = outcome.summary;
    double wait = 0, load = 0, delivery = 0;
    uint64_t changes = 0;
    std::map<std::string, int> modes;
    nlohmann::json shares = nlohmann::json::array();
    for (const ShareSummary& share : summary.shares) {
        wait += share.waitSeconds;
        load += share.loadSeconds;
        delivery += share.deliverySeconds;
        changes += share.changed + share.renamed + share.removed;
        ++modes[share.mode];
        nlohmann::json record = {{"share", share.share},
                                 {"readPath", share.readPath},
                                 {"mode", share.mode},
                                 {"changed", share.changed},
                                 {"renamed", share.renamed},
                                 {"removed", share.removed},
                                 {"entries", share.entries},
                                 {"waitSeconds", share.waitSeconds},
                                 {"loadSeconds", share.loadSeconds},
                                 {"deliverySeconds", share.deliverySeconds}};
        if (!share.reason.empty()) record["reason"] = share.reason;
        shares.push_back(record);
        std::string line = "  " + share.share + ": " + share.mode;
        if (share.mode == "incremental")
            line += ", " + std::to_string(share.changed) + " changed, " +
                    std::to_string(share.renamed) + " renamed, " + std::to_string(share.removed) +
                    " removed of " + std::to_string(share.entries) + " changelist entries";
        if (!share.reason.empty()) line += " (" + share.reason + ")";
        out.Say(line);
    }
    const nlohmann::json phases = {{"snapshot", summary.snapshotSeconds},
                                   {"wait", wait},
                                   {"load", load},
                                   {"delivery", delivery},
                                   {"cleanup", summary.cleanupSeconds},
                                   {"total", totalSeconds}};
    out.Say("  times: snapshots " + Duration(summary.snapshotSeconds) + ", changelist wait " +
            Duration(wait) + ", load " + Duration(load) + ", delivery " + Duration(delivery) +
            ", cleanup " + Duration(summary.cleanupSeconds));
    std::string counts;
    for (const auto& [mode, count] : modes)
        counts += (counts.empty() ? "" : ", ") + std::to_string(count) + " " + mode;
    out.SayClosing("snapscan: job " + std::to_string(request.jobId) + " of client " +
                   std::to_string(request.clientId) + " subclient " +
                   std::to_string(request.subclientId) + " " + OutcomeWord(outcome.status) +
                   " (exit " + std::to_string(outcome.status) +
                   "): " + std::to_string(summary.shares.size()) + " shares" +
                   (counts.empty() ? "" : " (" + counts + ")") + ", " + std::to_string(changes) +
                   " changes, " + Duration(totalSeconds));
    nlohmann::json record = {{"event", "summary"},       {"jobId", request.jobId},
                             {"status", outcome.status}, {"delivered", outcome.delivered},
                             {"shares", shares},         {"seconds", phases}};
    if (!summary.snapScanUnavailable.empty())
        record["snapScanUnavailable"] = summary.snapScanUnavailable;
    if (out.Json()) out.Emit(record, "");
}

// A job that fails before it starts still has its outcome in the metrics.
int FailedBeforeJob(const JobRequest& request, Output& out) {
    WriteJobMetrics(request, JobOutcome(), 0, out);
    out.Done(kExitFailed);
    return kExitFailed;
}

}  // namespace

JobOutcome RunJob(GetSnapClientFn getClient, const JobRequest& request, Output& out,
                  const std::function<bool()>& onDelivered) {
    const auto start = std::chrono::steady_clock::now();
    SetLogContext("client=" + std::to_string(request.clientId) + " subclient=" +
                  std::to_string(request.subclientId) + " job=" + std::to_string(request.jobId));
    SNAP_LOG(0, "Job %lld of client %u subclient %u starts: %s, %zu shares",
             static_cast<long long>(request.jobId), request.clientId, request.subclientId,
             request.prevJobId != 0
                 ? ("incremental against job " + std::to_string(request.prevJobId)).c_str()
                 : "full",
             request.shares.size());
    JobOutcome outcome = RunJobPhases(getClient, request, out, onDelivered);
    if (request.progress) request.progress->Stop();
    SNAP_LOG(0, "Job %lld ends: %s (exit %d)%s", static_cast<long long>(request.jobId),
             OutcomeWord(outcome.status), outcome.status,
             outcome.delivered ? ", the next comparison base" : "");
    const double totalSeconds = SecondsSince(start);
    EmitSummary(request, outcome, totalSeconds, out);
    WriteJobMetrics(request, outcome, totalSeconds, out);
    out.Done(outcome.status, {{"jobId", request.jobId}, {"delivered", outcome.delivered}});
    return outcome;
}

int RunChainedJob(GetSnapClientFn getClient, JobRequest request, const JobStateStore& store,
                  const ArrayJobIds& arrayJobIds, Output& out) {
    std::string error;
    ContentState state;
    if (!store.Load(request.clientId, request.subclientId, state, error)) {
        out.Error("job", error);
        return FailedBeforeJob(request, out);
    }
    // A state that was lost or restored from an old copy must not hand out an
    // id whose snapshots exist: the plug-in would take them for this job's own.
    std::set<int64_t> onArray;
    if (!arrayJobIds(onArray, error)) {
        out.Error("job", "cannot list the content's snapshots to choose the job id: " + error);
        return FailedBeforeJob(request, out);
    }
    int64_t last = state.lastIssuedJobId;
    if (!onArray.empty() && *onArray.rbegin() > last) last = *onArray.rbegin();
    if (last == std::numeric_limits<int64_t>::max()) {
        out.Error("job",
                  "no job id left in " + store.StatePath(request.clientId, request.subclientId));
        return FailedBeforeJob(request, out);
    }
    request.jobId = last + 1;
    request.prevJobId = state.baseJobId;
    state.lastIssuedJobId = request.jobId;
    state.lastStartedAt = UtcTimestamp();
    state.lastFinishedAt.clear();
    state.lastStatus = -1;
    if (!store.Save(request.clientId, request.subclientId, state, error)) {
        out.Error("job", error);
        return FailedBeforeJob(request, out);
    }

    // The job becomes the base before the post-backup cleanup deletes the old
    // base's snapshots: a run that dies during the cleanup must leave the next
    // job a base whose snapshots are still there. Were the state not saved, the
    // cleanup would not run either, and the old base would stay usable.
    const JobOutcome outcome = RunJob(getClient, request, out, [&] {
        state.baseJobId = request.jobId;
        state.baseDeliveredAt = UtcTimestamp();
        if (store.Save(request.clientId, request.subclientId, state, error)) return true;
        out.Error("job", error);
        return false;
    });
    // The outcome is for `snapscan status`; the ids above are what matters, so
    // a state that cannot take it now does not change the job's status.
    state.lastFinishedAt = UtcTimestamp();
    state.lastStatus = outcome.status;
    if (!store.Save(request.clientId, request.subclientId, state, error))
        out.Progress("snapscan: warning: " + error);
    return outcome.status;
}

int RunGivenJob(GetSnapClientFn getClient, const JobRequest& request, bool restart,
                const ArrayJobIds& arrayJobIds, Output& out) {
    std::set<int64_t> onArray;
    std::string error;
    if (!arrayJobIds(onArray, error)) {
        out.Error("job", "cannot list the content's snapshots to check the job id: " + error);
        return FailedBeforeJob(request, out);
    }
    if (onArray.count(request.jobId) != 0 && !restart) {
        out.Error("job", "snapshots of job " + std::to_string(request.jobId) + " of client " +
                             std::to_string(request.clientId) + " subclient " +
                             std::to_string(request.subclientId) +
                             " are on the array already; a new job would read them as its own. "
                             "Give a new --job-id, or --restart if this run restarts that job");
        return FailedBeforeJob(request, out);
    }
    return RunJob(getClient, request, out).status;
}

int WithContentLock(uint32_t clientId, uint32_t subclientId, Output& out,
                    const std::function<int()>& command) {
    ContentLock lock;
    std::string error;
    if (!lock.Acquire(clientId, subclientId, error)) {
        out.Error("locking the content", error);
        out.Done(kExitFailed);
        return kExitFailed;
    }
    return command();
}

int RunVerify(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId, Output& out) {
    ClientPtr client = NewClient(getClient, out);
    if (!client ||
        !Initialize(*client, 0, clientId, subclientId, "", "", 0, ContentMapperAPIPtr(), out) ||
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
