#include "tools/snapscan/audit_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/job_state.h"
#include "tools/snapscan/metrics.h"
#include "tools/snapscan/snapshot_listing.h"

namespace snapscan {

namespace {

struct SnapshotPair {
    OwnSnapshot base;
    OwnSnapshot current;
};

std::string SnapshotRoot(const std::string& share, const std::string& name) {
    std::string root = share;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root + "/.snapshot/" + name;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A snapshot name is one path component below ".snapshot".
bool UsableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// The pair by name; the array's ids only when the changelist is needed.
bool NamedPair(const AuditCommand& command, bool needIds, SnapshotPair& pair, Output& out) {
    pair.base.name = command.baseName;
    pair.current.name = command.currentName;
    if (!needIds) return true;
    std::vector<OwnSnapshot> snapshots;
    std::string error;
    if (!ListOwnSnapshots(command.clientId, command.subclientId, snapshots, error)) {
        out.Error("listing snapshots", error);
        return false;
    }
    for (OwnSnapshot* wanted : {&pair.base, &pair.current}) {
        bool found = false;
        for (const OwnSnapshot& snapshot : snapshots) {
            if (snapshot.name != wanted->name) continue;
            *wanted = snapshot;
            found = true;
        }
        if (!found) {
            out.Error("audit", "no snapshot " + EscapeControl(wanted->name) + " of client " +
                                   std::to_string(command.clientId) + " subclient " +
                                   std::to_string(command.subclientId) + " on the array");
            return false;
        }
    }
    return true;
}

// The last job's snapshot of the share and the newest older one, which is what
// that job compared against.
bool LastJobPair(const AuditCommand& command, SnapshotPair& pair, Output& out) {
    const JobStateStore store(command.stateDir);
    ContentState state;
    std::string error;
    if (!store.Load(command.clientId, command.subclientId, state, error)) {
        out.Error("reading the job state", error);
        return false;
    }
    if (state.lastIssuedJobId == 0) {
        out.Error("audit", "no job of client " + std::to_string(command.clientId) + " subclient " +
                               std::to_string(command.subclientId) + " in " +
                               store.StatePath(command.clientId, command.subclientId) +
                               "; give --base and --current");
        return false;
    }
    std::vector<OwnSnapshot> snapshots;
    if (!ListOwnSnapshots(command.clientId, command.subclientId, snapshots, error)) {
        out.Error("listing snapshots", error);
        return false;
    }
    std::optional<OwnSnapshot> current;
    std::optional<OwnSnapshot> base;
    for (const OwnSnapshot& snapshot : snapshots) {
        if (!IsDirectory(SnapshotRoot(command.share, snapshot.name))) continue;
        if (snapshot.jobId == state.lastIssuedJobId) {
            if (current) {
                out.Error("audit", "job " + std::to_string(snapshot.jobId) +
                                       " has several snapshots below " + command.share +
                                       "/.snapshot; give --base and --current");
                return false;
            }
            current = snapshot;
        } else if (snapshot.jobId < state.lastIssuedJobId &&
                   (!base || snapshot.jobId > base->jobId)) {
            base = snapshot;
        }
    }
    if (!current) {
        out.Error("audit", "the last job (" + std::to_string(state.lastIssuedJobId) +
                               ") has no snapshot below " + command.share + "/.snapshot");
        return false;
    }
    if (!base) {
        out.Error("audit",
                  "no snapshot of an earlier job below " + command.share +
                      "/.snapshot: the last job was a full job, or its post-backup cleanup "
                      "deleted the base (run the job with --skip-cleanup and audit before "
                      "`snapscan cleanup`)");
        return false;
    }
    pair.base = *base;
    pair.current = *current;
    return true;
}

std::string Hex(const std::string& bytes) {
    std::string text;
    char digits[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

nlohmann::json FindingRecord(const AuditFinding& finding) {
    nlohmann::json record = {{"event", "auditFinding"},
                             {"kind", finding.kind},
                             {"path", finding.path},
                             {"detail", finding.detail}};
    if (!IsUtf8(finding.path)) record["pathHex"] = Hex(finding.path);
    return record;
}

void Report(const AuditCommand& command, const SnapshotPair& pair, const AuditResult& result,
            Output& out) {
    for (const AuditFinding& finding : result.findings) {
        const std::string text =
            "  " + finding.kind + " " + EscapeControl(finding.path) + ": " + finding.detail;
        if (finding.kind == "spurious")
            out.Emit(FindingRecord(finding), text);
        else
            out.Problem(FindingRecord(finding), text);
    }
    if (result.findingsTruncated)
        out.SayAlways("  (only the first " + std::to_string(result.findings.size()) +
                      " findings are listed)");
    std::string text = "audit of " + command.share + ": " + std::to_string(result.missed) +
                       " missed, " + std::to_string(result.spurious) + " spurious, " +
                       std::to_string(result.problems) + " not checked; " +
                       std::to_string(result.listed) + " changes listed, " +
                       std::to_string(result.entriesWalked) + " entries in " +
                       std::to_string(result.directoriesWalked) + " directories walked";
    if (!result.identityKept)
        text += "; the snapshots renumber inodes: compared without inodes and ctimes";
    if (result.sampled) {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%g", result.samplePercent);
        text += "; sampled: the entries of " + std::to_string(result.directoriesCompared) +
                " directories compared (" + percent + "%, seed " + std::to_string(result.seed) +
                ")";
    }
    out.Problem({{"event", "audit"},
                 {"share", command.share},
                 {"base", pair.base.name},
                 {"current", pair.current.name},
                 {"source", command.changesFile.empty() ? "changelist" : "delivered"},
                 {"missed", result.missed},
                 {"spurious", result.spurious},
                 {"problems", result.problems},
                 {"listed", result.listed},
                 {"entries", result.entriesWalked},
                 {"directories", result.directoriesWalked},
                 {"directoriesCompared", result.directoriesCompared},
                 {"sampled", result.sampled},
                 {"identity", result.identityKept ? "kept" : "renumbered"},
                 {"samplePercent", result.samplePercent},
                 {"seed", result.seed},
                 {"seconds", result.seconds}},
                text);
    if (result.missed == 0 && result.spurious != 0)
        out.SayAlways("audit: warning: " + std::to_string(result.spurious) +
                      " listed changes have no difference in the snapshots (they cost backup "
                      "time, they lose nothing)");
}

}  // namespace

int RunAuditCommand(const AuditCommand& command, Output& out, AuditResult* resultOut) {
    const bool named = !command.baseName.empty();
    if (named && (!UsableName(command.baseName) || !UsableName(command.currentName))) {
        out.Error("audit", "a snapshot name is one path component");
        return kExitFailed;
    }
    SnapshotPair pair;
    const bool fromChangelist = command.changesFile.empty();
    if (named ? !NamedPair(command, fromChangelist, pair, out) : !LastJobPair(command, pair, out))
        return kExitFailed;

    AuditRequest request;
    request.baseRoot = SnapshotRoot(command.share, pair.base.name);
    request.currentRoot = SnapshotRoot(command.share, pair.current.name);
    request.walk.samplePercent = command.samplePercent;
    request.walk.seed = command.seed;
    request.walk.threads = command.threads;
    request.identity = command.identity;
    std::string error;
    if (fromChangelist) {
        request.source = ChangeSource::kChangelist;
        if (!FetchChangelist(command.clientId, pair.base.id, pair.current.id, command.waitSeconds,
                             request.changes, error)) {
            out.Error("reading the changelist", error);
            return kExitFailed;
        }
    } else {
        request.source = ChangeSource::kDelivered;
        if (!ReadDeliveredChanges(command.changesFile, command.share,
                                  {command.share, request.currentRoot}, request.changes, error)) {
            out.Error("reading the delivered changes", error);
            return kExitFailed;
        }
    }
    out.Say("audit of " + command.share + ": base " + EscapeControl(pair.base.name) + ", current " +
            EscapeControl(pair.current.name) + ", changes from " +
            (fromChangelist ? std::string("the array's changelist") : command.changesFile));

    AuditResult result;
    if (!RunAudit(request, result, error)) {
        out.Error("audit", error);
        return kExitFailed;
    }
    Report(command, pair, result, out);
    if (resultOut) *resultOut = result;
    if (result.missed != 0 || result.problems != 0) {
        out.Error("audit", std::to_string(result.missed) + " changes missed, " +
                               std::to_string(result.problems) + " places not checked");
        return kExitFailed;
    }
    return kExitOk;
}

void WriteAuditMetrics(const AuditCommand& command, int exitStatus, const AuditResult* result,
                       Output& out) {
    using Type = MetricsFile::Type;
    const MetricLabels labels = {{"client", std::to_string(command.clientId)},
                                 {"subclient", std::to_string(command.subclientId)},
                                 {"share", command.share}};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    MetricsFile metrics;
    metrics.Add("snapscan_audit_exit_status", Type::kGauge,
                "Exit status of the last audit: 0 all changes covered, 1 a change missed, a "
                "place not checked or no audit.",
                labels, exitStatus);
    metrics.Add("snapscan_audit_end_timestamp_seconds", Type::kGauge,
                "When the last audit ended, in seconds since the epoch.", labels,
                static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
    if (result != nullptr) {
        metrics.Add("snapscan_audit_missed_changes", Type::kGauge,
                    "Differences between the snapshots that no listed change covers.", labels,
                    static_cast<double>(result->missed));
        metrics.Add("snapscan_audit_spurious_changes", Type::kGauge,
                    "Listed changes without a difference between the snapshots.", labels,
                    static_cast<double>(result->spurious));
        metrics.Add("snapscan_audit_unchecked_places", Type::kGauge,
                    "Places of the snapshots the audit could not read.", labels,
                    static_cast<double>(result->problems));
        metrics.Add("snapscan_audit_entries_walked", Type::kGauge,
                    "Entries the audit walked in both snapshots.", labels,
                    static_cast<double>(result->entriesWalked));
        metrics.Add("snapscan_audit_sample_ratio", Type::kGauge,
                    "Share of the directories the audit walked (1 for a whole walk).", labels,
                    result->sampled ? result->samplePercent / 100 : 1.0);
    }
    std::string error;
    if (metrics.Write(command.metricsFile, error)) return;
    out.Problem({{"event", "metricsNotWritten"}, {"file", command.metricsFile}, {"reason", error}},
                "snapscan: warning: metrics not written: " + error);
}

}  // namespace snapscan
