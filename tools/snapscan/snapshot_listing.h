#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ManageIsilon;

namespace snapscan {

// One of a client's own snapshots on the array, with the ids its name carries
// ("TZOP_<client>_<subclient>_<job>_<path identifier>").
struct OwnSnapshot {
    uint32_t subclientId = 0;
    int64_t jobId = 0;
    std::string name;
    int64_t id = 0;
    std::string path;
    int64_t created = 0;  // seconds since the epoch, as the array gives it
};

// Splits a snapshot name of `clientId` (and of `subclientId` when given) into
// its ids. False for every other name, including names of other clients.
bool ParseOwnSnapshotName(const std::string& name, uint32_t clientId,
                          std::optional<uint32_t> subclientId, OwnSnapshot& snapshot);

// Points `array` at the array of `clientId` with the client's credentials
// (NASSnapUtil) and opens the connection. False with a reason when that is not
// possible.
bool ConnectClientArray(uint32_t clientId, ManageIsilon& array, std::string& error);

// The client's own snapshots on the array, ordered by subclient, job and name.
// Connects with the client's credentials (NASSnapUtil) through the array client
// of the host library. False with a reason when that is not possible.
bool ListOwnSnapshots(uint32_t clientId, std::optional<uint32_t> subclientId,
                      std::vector<OwnSnapshot>& snapshots, std::string& error);

}  // namespace snapscan
