#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/metrics.h"

namespace snapscan {

// The families of one job of a content (labels client and subclient, and share
// where per share):
//   snapscan_job_exit_status, snapscan_job_id, snapscan_job_end_timestamp_seconds,
//   snapscan_last_success_timestamp_seconds (the last job that exited 0; kept
//     from the previous file when this job did not),
//   snapscan_job_phase_duration_seconds{phase}, snapscan_share_changelist_entries,
//   snapscan_share_items{kind}, snapscan_share_full_read{reason},
//   snapscan_share_live_read{reason}, snapscan_own_snapshots (when counted).
// `lastSuccess` is the previous success time (seconds since the epoch), if any.
void AddJobMetrics(const JobRequest& request, const JobOutcome& outcome, double totalSeconds,
                   double now, std::optional<double> lastSuccess,
                   std::optional<size_t> ownSnapshots, MetricsFile& metrics);

// Writes request.metricsFile for the job's outcome: the previous success time
// read back from the file there, the own snapshots counted through the request.
// A file that cannot be written is reported as a warning and leaves the job's
// status as it is: the metrics then say nothing new, which the alert on the
// last success time catches.
void WriteJobMetrics(const JobRequest& request, const JobOutcome& outcome, double totalSeconds,
                     Output& out);

}  // namespace snapscan
