#include "tools/snapscan/snapshot_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <tuple>

#include "host/HostConfig.h"
#include "host/ManageIsilon.h"
#include "host/NASSnapUtil.h"

namespace snapscan {

namespace {

// Reads a decimal number that ends at a "_"; moves `position` past the "_".
bool ReadNumber(const std::string& text, size_t& position, uint64_t limit, uint64_t& value) {
    const size_t end = text.find('_', position);
    if (end == std::string::npos || end == position || end - position > 20) return false;
    value = 0;
    for (size_t i = position; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    position = end + 1;
    return true;
}

}  // namespace

bool ParseOwnSnapshotName(const std::string& name, uint32_t clientId,
                          std::optional<uint32_t> subclientId, OwnSnapshot& snapshot) {
    const std::string prefix = "TZOP_" + std::to_string(clientId) + "_";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t position = prefix.size();
    uint64_t subclient = 0;
    uint64_t job = 0;
    if (!ReadNumber(name, position, UINT32_MAX, subclient)) return false;
    if (subclientId && subclient != *subclientId) return false;
    // Job ids print unsigned in names; keep the bits of the signed id.
    if (!ReadNumber(name, position, UINT64_MAX, job)) return false;
    snapshot.subclientId = static_cast<uint32_t>(subclient);
    snapshot.jobId = static_cast<int64_t>(job);
    snapshot.name = name;
    return true;
}

bool ConnectClientArray(uint32_t clientId, ManageIsilon& array, std::string& error) {
    _NASArrayInfo info;
    {
        NASSnapUtil credentials;
        credentials.Initialize();
        int lookupId = static_cast<int>(clientId);
        if (!credentials.GetArrayNameAndCredentialsByClientId(lookupId, info)) {
            error = "no usable array credentials for client " + std::to_string(clientId) + " in " +
                    HostConfig::ConfigDir() + "/credentials.ini (see the log)";
            return false;
        }
    }
    array.SetFileServer(info.fileServer);
    array.SetUser(info.userName);
    array.SetPasswd(info.password);
    array.SetCredentialsEntry(info.text0);
    if (array.OpenConnection()) return true;
    std::string code;
    std::string message;
    array.GetLastError(code, message);
    error = "array " + info.fileServer + ": " + code + ": " + message;
    return false;
}

bool ListOwnSnapshots(uint32_t clientId, std::optional<uint32_t> subclientId,
                      std::vector<OwnSnapshot>& snapshots, std::string& error) {
    snapshots.clear();
    ManageIsilon array;
    if (!ConnectClientArray(clientId, array, error)) return false;
    std::vector<_IsilonSnapInfo> all;
    if (!array.GetSnapshotList(all, "", "")) {
        std::string code;
        std::string message;
        array.GetLastError(code, message);
        error = "array: " + code + ": " + message;
        return false;
    }
    for (const _IsilonSnapInfo& entry : all) {
        OwnSnapshot snapshot;
        if (!ParseOwnSnapshotName(entry.name, clientId, subclientId, snapshot)) continue;
        snapshot.id = entry.id;
        snapshot.path = entry.path;
        snapshot.created = static_cast<int64_t>(entry.value3);
        snapshots.push_back(std::move(snapshot));
    }
    std::sort(snapshots.begin(), snapshots.end(), [](const OwnSnapshot& a, const OwnSnapshot& b) {
        return std::tie(a.subclientId, a.jobId, a.name) < std::tie(b.subclientId, b.jobId, b.name);
    });
    return true;
}

}  // namespace snapscan
