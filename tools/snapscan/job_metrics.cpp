#include "tools/snapscan/job_metrics.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace snapscan {

namespace {

using Type = MetricsFile::Type;

// A previous file larger than this is not ours: its success time is not read.
constexpr std::streamsize kMaxPreviousFile = 16 << 20;

std::optional<double> PreviousSuccess(const std::string& path, const MetricLabels& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(static_cast<size_t>(kMaxPreviousFile) + 1, '\0');
    in.read(text.data(), kMaxPreviousFile + 1);
    if (in.gcount() > kMaxPreviousFile) return std::nullopt;
    text.resize(static_cast<size_t>(in.gcount()));
    double value = 0;
    if (!FindSample(text, "snapscan_last_success_timestamp_seconds", content, value) ||
        !(value > 0))
        return std::nullopt;
    return value;
}

double Now() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec / 1000000) / 1000.0;
}

}  // namespace

void AddJobMetrics(const JobRequest& request, const JobOutcome& outcome, double totalSeconds,
                   double now, std::optional<double> lastSuccess,
                   std::optional<size_t> ownSnapshots, MetricsFile& metrics) {
    const MetricLabels content = {{"client", std::to_string(request.clientId)},
                                  {"subclient", std::to_string(request.subclientId)}};
    const auto with = [&content](MetricLabels more) {
        MetricLabels labels = content;
        labels.insert(labels.end(), more.begin(), more.end());
        return labels;
    };
    metrics.Add("snapscan_job_exit_status", Type::kGauge,
                "Exit status of the content's last job: 0 success, 1 failed, 3 a share not "
                "processed or read live.",
                content, outcome.status);
    metrics.Add("snapscan_job_id", Type::kGauge, "Id of the content's last job.", content,
                static_cast<double>(request.jobId));
    metrics.Add("snapscan_job_end_timestamp_seconds", Type::kGauge,
                "When the content's last job ended, seconds since the epoch.", content, now);
    if (outcome.status == kExitOk) lastSuccess = now;
    if (lastSuccess)
        metrics.Add("snapscan_last_success_timestamp_seconds", Type::kGauge,
                    "When the content's last successful job (exit 0) ended, seconds since the "
                    "epoch.",
                    content, *lastSuccess);

    const JobSummary& summary = outcome.summary;
    double wait = 0, load = 0, delivery = 0;
    for (const ShareSummary& share : summary.shares) {
        wait += share.waitSeconds;
        load += share.loadSeconds;
        delivery += share.deliverySeconds;
    }
    const std::pair<const char*, double> phases[] = {{"snapshot", summary.snapshotSeconds},
                                                     {"wait", wait},
                                                     {"load", load},
                                                     {"delivery", delivery},
                                                     {"cleanup", summary.cleanupSeconds},
                                                     {"total", totalSeconds}};
    for (const auto& [phase, seconds] : phases)
        metrics.Add("snapscan_job_phase_duration_seconds", Type::kGauge,
                    "Time the content's last job spent in each phase (wait: for the array's "
                    "changelist; load: into the change database; delivery: handing on items).",
                    with({{"phase", phase}}), seconds);

    for (const ShareSummary& share : summary.shares) {
        metrics.Add("snapscan_share_changelist_entries", Type::kGauge,
                    "Changelist entries the last job loaded for the share.",
                    with({{"share", share.share}}), static_cast<double>(share.entries));
        const std::pair<const char*, uint64_t> kinds[] = {
            {"changed", share.changed}, {"renamed", share.renamed}, {"removed", share.removed}};
        for (const auto& [kind, count] : kinds)
            metrics.Add("snapscan_share_items", Type::kGauge,
                        "Items the last job handed on for the share, by kind.",
                        with({{"share", share.share}, {"kind", kind}}), static_cast<double>(count));
        const bool full = share.mode == "full";
        metrics.Add("snapscan_share_full_read", Type::kGauge,
                    "1 when the last job read the share in full (no comparison base, a full "
                    "job, or snap scan not available), with the reason.",
                    with({{"share", share.share}, {"reason", full ? share.reason : ""}}),
                    full ? 1 : 0);
        const bool live = share.mode == "live";
        metrics.Add("snapscan_share_live_read", Type::kGauge,
                    "1 when the last job read the share from the live file system, not a "
                    "snapshot, with the reason.",
                    with({{"share", share.share}, {"reason", live ? share.reason : ""}}),
                    live ? 1 : 0);
        metrics.Add("snapscan_share_not_processed", Type::kGauge,
                    "1 when the last job did not process the share.",
                    with({{"share", share.share}}), share.mode == "notProcessed" ? 1 : 0);
    }
    if (ownSnapshots)
        metrics.Add("snapscan_own_snapshots", Type::kGauge,
                    "Snapshots of the content on the array after its last job.", content,
                    static_cast<double>(*ownSnapshots));
}

void WriteJobMetrics(const JobRequest& request, const JobOutcome& outcome, double totalSeconds,
                     Output& out) {
    if (request.metricsFile.empty()) return;
    const MetricLabels content = {{"client", std::to_string(request.clientId)},
                                  {"subclient", std::to_string(request.subclientId)}};
    std::optional<size_t> own;
    std::string error;
    size_t count = 0;
    if (request.countOwnSnapshots) {
        if (request.countOwnSnapshots(count, error))
            own = count;
        else
            out.Progress("snapscan: warning: metrics without the snapshot count: " + error);
    }
    MetricsFile metrics;
    AddJobMetrics(request, outcome, totalSeconds, Now(),
                  PreviousSuccess(request.metricsFile, content), own, metrics);
    if (metrics.Write(request.metricsFile, error)) return;
    out.Problem({{"event", "metricsNotWritten"}, {"file", request.metricsFile}, {"reason", error}},
                "snapscan: warning: metrics not written: " + error);
}

}  // namespace snapscan
