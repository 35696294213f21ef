#include "tools/snapscan/status.h"

#include <dirent.h>

#include <ctime>
#include <map>
#include <set>

#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/snapshot_listing.h"

namespace snapscan {

namespace {

// The subclients the state directory has state for, of one client.
std::set<uint32_t> SubclientsInState(const JobStateStore& store, uint32_t clientId) {
    std::set<uint32_t> subclients;
    DIR* directory = ::opendir(store.Directory().c_str());
    if (directory == nullptr) return subclients;
    const std::string prefix = "client-" + std::to_string(clientId) + "-subclient-";
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() <= prefix.size() + 5 ||
            name.compare(name.size() - 5, 5, ".json") != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 5);
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned long long value = std::stoull(digits);
        if (value <= UINT32_MAX) subclients.insert(static_cast<uint32_t>(value));
    }
    ::closedir(directory);
    return subclients;
}

std::string StatusWord(int status) {
    switch (status) {
        case -1:
            return "running or killed";
        case kExitOk:
            return "succeeded";
        case kExitPartial:
            return "completed, not every share from a snapshot";
        default:
            return "failed";
    }
}

std::string MountPath(const std::string& mount) {
    const size_t at = mount.find(":/");
    std::string path = at == std::string::npos ? mount : mount.substr(at + 1);
    std::string folded;
    for (const char c : path) {
        if (c == '/' && !folded.empty() && folded.back() == '/') continue;
        folded += c;
    }
    while (folded.size() > 1 && folded.back() == '/') folded.pop_back();
    return folded;
}

}  // namespace

std::string EpochToUtc(int64_t seconds) {
    if (seconds <= 0) return std::string();
    const time_t when = static_cast<time_t>(seconds);
    struct tm utc;
    if (gmtime_r(&when, &utc) == nullptr) return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

int RunStatus(const JobStateStore& store, uint32_t clientId, std::optional<uint32_t> subclientId,
              Output& out) {
    int result = kExitOk;
    std::vector<OwnSnapshot> snapshots;
    std::string error;
    const bool listed = ListOwnSnapshots(clientId, subclientId, snapshots, error);
    if (!listed) {
        out.Error("listing snapshots", error);
        result = kExitFailed;
    }
    std::set<uint32_t> subclients;
    if (subclientId)
        subclients.insert(*subclientId);
    else
        subclients = SubclientsInState(store, clientId);
    for (const OwnSnapshot& snapshot : snapshots) subclients.insert(snapshot.subclientId);
    if (subclients.empty())
        out.Say("no job of client " + std::to_string(clientId) + " in " + store.Directory() +
                " and no snapshot of it on the array");

    for (const uint32_t subclient : subclients) {
        ContentState state;
        if (!store.Load(clientId, subclient, state, error)) {
            out.Error("reading the job state", error);
            result = kExitFailed;
        }
        nlohmann::json shown = nlohmann::json::array();
        std::vector<std::string> lines;
        for (const OwnSnapshot& snapshot : snapshots) {
            if (snapshot.subclientId != subclient) continue;
            const std::string created = EpochToUtc(snapshot.created);
            shown.push_back({{"name", snapshot.name},
                             {"id", snapshot.id},
                             {"path", snapshot.path},
                             {"jobId", snapshot.jobId},
                             {"created", created}});
            lines.push_back("    job " + std::to_string(snapshot.jobId) + ": " + snapshot.name +
                            "  " + snapshot.path + (created.empty() ? "" : "  created " + created));
        }
        nlohmann::json record = {{"event", "status"},
                                 {"clientId", clientId},
                                 {"subclientId", subclient},
                                 {"lastJobId", state.lastIssuedJobId},
                                 {"lastStartedAt", state.lastStartedAt},
                                 {"lastFinishedAt", state.lastFinishedAt},
                                 {"lastStatus", state.lastStatus},
                                 {"baseJobId", state.baseJobId},
                                 {"baseDeliveredAt", state.baseDeliveredAt}};
        if (listed) record["snapshots"] = shown;
        out.Emit(record, "client " + std::to_string(clientId) + " subclient " +
                             std::to_string(subclient) + ":");
        if (state.lastIssuedJobId == 0) {
            out.Say("  no job in " + store.Directory());
        } else {
            out.Say(
                "  last job " + std::to_string(state.lastIssuedJobId) +
                (state.lastStartedAt.empty() ? "" : ", started " + state.lastStartedAt) + ": " +
                StatusWord(state.lastStatus) +
                (state.lastStatus >= 0 ? " (exit " + std::to_string(state.lastStatus) + ")" : "") +
                (state.lastFinishedAt.empty() ? "" : ", finished " + state.lastFinishedAt));
            out.Say(state.baseJobId == 0 ? std::string("  no base job: the next job is a full job")
                                         : "  base job " + std::to_string(state.baseJobId) +
                                               (state.baseDeliveredAt.empty()
                                                    ? ""
                                                    : ", delivered " + state.baseDeliveredAt));
        }
        if (!listed) continue;
        out.Say(lines.empty() ? "  no snapshots on the array" : "  snapshots on the array:");
        for (const std::string& line : lines) out.Say(line);
    }
    return result;
}

int RunDryDeletion(uint32_t clientId, uint32_t subclientId, int64_t jobId, bool cleanup,
                   const std::vector<std::string>& failedMounts, Output& out) {
    std::vector<OwnSnapshot> snapshots;
    std::string error;
    if (!ListOwnSnapshots(clientId, subclientId, snapshots, error)) {
        out.Error("listing snapshots", error);
        return kExitFailed;
    }
    std::set<std::string> failedPaths;
    for (const std::string& mount : failedMounts) failedPaths.insert(MountPath(mount));
    size_t count = 0;
    for (const OwnSnapshot& snapshot : snapshots) {
        const bool goes =
            cleanup ? snapshot.jobId != jobId
                    : snapshot.jobId == jobId && failedPaths.count(MountPath(snapshot.path)) != 0;
        if (!goes) continue;
        ++count;
        out.Emit({{"event", "wouldDelete"},
                  {"name", snapshot.name},
                  {"id", snapshot.id},
                  {"jobId", snapshot.jobId},
                  {"path", snapshot.path}},
                 "would delete " + snapshot.name + " (job " + std::to_string(snapshot.jobId) +
                     ", " + snapshot.path + ")");
    }
    out.Emit(
        {{"event", "dryRun"}, {"wouldDelete", count}},
        "dry run: " + std::to_string(count) + " snapshots would be deleted; nothing was changed");
    return kExitOk;
}

}  // namespace snapscan
