#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/CFileServerSnapClientBase.h"
#include "tools/snapscan/changes_writer.h"
#include "tools/snapscan/job_state.h"
#include "tools/snapscan/output.h"
#include "tools/snapscan/progress.h"

namespace snapscan {

// Exit statuses of the CLI.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,  // an operation of the plug-in (or of the CLI) failed
    kExitUsage = 2,   // bad command line
    // The job ran, but not every share was read from a snapshot of this job: a
    // share was not processed or was read from the live file system. A failure
    // (1) wins over this.
    kExitPartial = 3,
};

struct JobRequest {
    uint32_t clientId = 0;
    uint32_t subclientId = 0;
    std::vector<std::string> shares;  // scan paths as the job content lists them
    std::string resultsDir;           // the change databases go here
    std::string mapFile;              // the snapshot map file; emptied at the job's start
    bool autoMount = false;           // hand the plug-in a content mapper (auto-mount mode)
    int64_t jobId = 0;
    int64_t prevJobId = 0;                 // 0: a full job
    bool skipCleanup = false;              // leave the post-backup cleanup to `snapscan cleanup`
    uint64_t progressEvery = 0;            // a line on stderr every this many items (0: none)
    bool listChanges = false;              // text mode: a line per item (JSON always has them)
    ProgressReporter* progress = nullptr;  // progress of the phases, when shown
    // The changes for standard tools (see ChangesFormat); none when empty.
    // Written when the job handed its changes on, before it becomes the base;
    // what an earlier job left there is removed at the start.
    std::string changesOut;
    ChangesFormat changesFormat = ChangesFormat::kNul;
    // The Prometheus text file of the job's outcome (job_metrics.h); none when
    // empty.
    std::string metricsFile;
    // Counts the content's own snapshots on the array, for the metrics; false
    // with a reason when it cannot.
    std::function<bool(size_t& count, std::string& error)> countOwnSnapshots;
};

// How one share of a job went.
struct ShareSummary {
    std::string share;
    std::string readPath;
    std::string mode;    // "incremental", "full", "live" or "notProcessed"
    std::string reason;  // why full, live or not processed
    uint64_t changed = 0;
    uint64_t renamed = 0;
    uint64_t removed = 0;
    uint64_t entries = 0;        // changelist entries loaded, as the plug-in logged them
    double waitSeconds = 0;      // waiting for the array's changelist
    double loadSeconds = 0;      // loading it into the change-event database
    double deliverySeconds = 0;  // handing on its items
};

struct JobSummary {
    std::vector<ShareSummary> shares;
    double snapshotSeconds = 0;
    double cleanupSeconds = 0;
    std::string snapScanUnavailable;  // why, when the array failed the snap-scan check
};

struct JobOutcome {
    int status = kExitFailed;
    // Every share of the content was processed and its changes handed on (or the
    // share is read in full): the job can be the next job's comparison base.
    bool delivered = false;
    JobSummary summary;
};

// The job ids that the content's own snapshots on the array carry. False with a
// reason when the array cannot be asked.
using ArrayJobIds = std::function<bool(std::set<int64_t>& jobIds, std::string& error)>;

// One job, driving a fresh client from `getClient` in the agent's call order
// (host/CFileServerSnapClientBase.h), the post-backup cleanup through a second
// client's Initialize and CleanupSnapshotsPostBackup. A share without a
// comparison base (no previous snapshot, or read from the live file system) is
// reported as read in full; that is what the agent does with it. The first
// failure ends the job.
// When the array fails the snap-scan check, the job goes on without change
// detection: snapshots are taken and every share is read in full (said once).
// A share read from the live file system is reported (liveRead, with the cause
// the plug-in logged) and makes the status kExitPartial, as does a share not
// processed. A job with a share not processed has not handed that share's
// changes on: it is not delivered, and neither `onDelivered` nor the
// post-backup cleanup runs, so the old base keeps its snapshots.
// `onDelivered`, when given, runs once every share's changes were handed on and
// before the post-backup cleanup; when it returns false the job fails there
// (it has reported why) and the cleanup is not run.
// The last record is always the job's "done" record.
JobOutcome RunJob(GetSnapClientFn getClient, const JobRequest& request, Output& out,
                  const std::function<bool()>& onDelivered = {});

// RunJob with the job ids taken from `store`: the job gets the next id of its
// content and compares against the content's base job (full job when none).
// The next id is above the state's last one and above every job id of the
// content's snapshots on the array (`arrayJobIds`), so that a lost or older
// state never makes a job take a snapshot left by an earlier one for its own.
// The new id is recorded before the job starts, so that it is never reused; the
// job becomes the base only when its changes were delivered (see ContentState).
int RunChainedJob(GetSnapClientFn getClient, JobRequest request, const JobStateStore& store,
                  const ArrayJobIds& arrayJobIds, Output& out);

// RunJob with the ids the operator gave. Refused when snapshots of the job are
// on the array already, unless `restart` says that this is a restart of that
// job: otherwise the job would read snapshots taken before it started.
int RunGivenJob(GetSnapClientFn getClient, const JobRequest& request, bool restart,
                const ArrayJobIds& arrayJobIds, Output& out);

// Runs `command` holding the content's lock; kExitFailed (reported) when the
// lock is held or cannot be taken.
int WithContentLock(uint32_t clientId, uint32_t subclientId, Output& out,
                    const std::function<int()>& command);

// Initialize, then VerifySnapScanSupport.
int RunVerify(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId, Output& out);

// Initialize for `jobId`, then CleanupSnapshotsPostBackup: every snapshot of the
// client and subclient except those of `jobId` goes.
int RunCleanup(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId, int64_t jobId,
               Output& out);

// Initialize for `jobId` in auto-mount mode, then DeleteAutoMountFailedSnapshots
// with `failedMounts` (host:path each): that job's snapshots of those shares go.
int RunDeleteFailed(GetSnapClientFn getClient, uint32_t clientId, uint32_t subclientId,
                    int64_t jobId, const std::vector<std::string>& failedMounts, Output& out);

}  // namespace snapscan
