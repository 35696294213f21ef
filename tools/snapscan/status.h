#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/snapscan/job_state.h"
#include "tools/snapscan/output.h"

namespace snapscan {

// `snapscan status`: per content of the client in the state directory (one
// subclient, or all it has state for) the last job and the base job, when they
// ran and how the last one ended, and the content's snapshots on the array with
// their creation times. Read-only. kExitFailed when the state or the array
// cannot be read (what could be read is still shown).
int RunStatus(const JobStateStore& store, uint32_t clientId, std::optional<uint32_t> subclientId,
              Output& out);

// The dry runs of `cleanup` (every snapshot of the content but `jobId`'s) and
// `delete-failed` (`jobId`'s snapshots of the shares `failedMounts` name, as
// HOST:PATH): what would be deleted, from the array's own list; nothing is.
int RunDryDeletion(uint32_t clientId, uint32_t subclientId, int64_t jobId, bool cleanup,
                   const std::vector<std::string>& failedMounts, Output& out);

// Seconds since the epoch as UTC RFC 3339 ("" for 0).
std::string EpochToUtc(int64_t seconds);

}  // namespace snapscan
