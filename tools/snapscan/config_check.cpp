#include "tools/snapscan/config_check.h"

#include <list>
#include <vector>

#include "host/FXErrorUtil.h"
#include "host/HostConfig.h"
#include "host/ManageIsilon.h"
#include "host/NASSnapUtil.h"
#include "host/TZPlatformInfo.h"
#include "host/TzMntTab.h"

namespace snapscan {

namespace {

// The oldest release whose changelists the plug-in uses.
constexpr const char* kMinimumRelease = "8.1.0.2";

void Report(Output& out, bool& allOk, const std::string& check, bool ok,
            const std::string& detail) {
    allOk = allOk && ok;
    out.Emit({{"event", "check"}, {"check", check}, {"ok", ok}, {"detail", EscapeControl(detail)}},
             std::string(ok ? "ok      " : "FAILED  ") + check + ": " + EscapeControl(detail));
}

// Whether `path` is `directory` or below it, by whole components.
bool IsBelow(const std::string& path, const std::string& directory) {
    if (directory == "/") return !path.empty() && path[0] == '/';
    if (path.compare(0, directory.size(), directory) != 0) return false;
    return path.size() == directory.size() || path[directory.size()] == '/';
}

// Dot-separated numeric components compared as numbers ("8.1.0.10" > "8.1.0.2").
// Text before the first digit is not part of the release.
bool ReleaseAtLeast(std::string release, const std::string& minimum) {
    const size_t digit = release.find_first_of("0123456789");
    if (digit == std::string::npos) return false;
    release.erase(0, digit);
    size_t a = 0;
    size_t b = 0;
    while (a < release.size() || b < minimum.size()) {
        const auto component = [](const std::string& text, size_t& at) {
            unsigned long long value = 0;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9' && value < 1000000000ULL)
                value = value * 10 + static_cast<unsigned>(text[at++] - '0');
            while (at < text.size() && text[at] != '.') ++at;  // a suffix such as "-rc1"
            if (at < text.size()) ++at;
            return value;
        };
        const unsigned long long left = component(release, a);
        const unsigned long long right = component(minimum, b);
        if (left != right) return left > right;
    }
    return true;
}

void CheckMounts(const CheckRequest& request, Output& out, bool& allOk) {
    std::list<TzMntTab::Entry> entries;
    const CRwError read = TzMntTab::getAll(entries);
    if (read.IsError()) {
        Report(out, allOk, "mount table", false, FXErrorUtil::MessageOf(read));
        return;
    }
    Report(out, allOk, "mount table", true, std::to_string(entries.size()) + " mounts");
    for (std::string share : request.shares) {
        while (share.size() > 1 && share.back() == '/') share.pop_back();
        const TzMntTab::Entry* holder = nullptr;
        for (const TzMntTab::Entry& entry : entries) {
            if (IsBelow(share, entry.mountPoint) &&
                (holder == nullptr || entry.mountPoint.size() >= holder->mountPoint.size()))
                holder = &entry;
        }
        if (holder == nullptr) {
            Report(out, allOk, "share " + share, false, "not on any mount");
        } else if (holder->text3.compare(0, 3, "nfs") != 0) {
            Report(out, allOk, "share " + share, false,
                   "on " + holder->mountPoint + " of type " + holder->text3 + ", not an NFS mount");
        } else {
            Report(out, allOk, "share " + share, true,
                   "mounted at " + holder->mountPoint + " from " + holder->device);
        }
    }
}

void CheckArray(uint32_t clientId, Output& out, bool& allOk) {
    NASSnapUtil credentials;
    _NASArrayInfo info;
    int lookupId = static_cast<int>(clientId);
    if (!credentials.GetArrayNameAndCredentialsByClientId(lookupId, info))
        return;  // reported above
    ManageIsilon array;
    array.SetFileServer(info.fileServer);
    array.SetUser(info.userName);
    array.SetPasswd(info.password);
    array.SetCredentialsEntry(info.text0);
    std::string code;
    std::string message;
    if (!array.OpenConnection()) {
        array.GetLastError(code, message);
        Report(out, allOk, "array login", false, info.fileServer + ": " + code + ": " + message);
        return;
    }
    Report(out, allOk, "array login", true, info.fileServer + " as " + info.userName);
    std::vector<_IsilonVersionInfo> versions;
    const CRwError version = array.GetVersionInfo(versions);
    if (version.IsError() || versions.empty()) {
        array.GetLastError(code, message);
        Report(out, allOk, "array release", false, code + ": " + message);
        return;
    }
    const std::string& release = versions.front().release;
    const bool supported = ReleaseAtLeast(release, kMinimumRelease);
    Report(out, allOk, "array release", supported,
           release + (supported ? " supports snap scan"
                                : std::string(" is older than ") + kMinimumRelease +
                                      ": jobs read every share in full"));
    _ChangeListCreateJobInfo jobInfo;
    if (array.GetChangeListJobInfo(jobInfo).IsError()) {
        array.GetLastError(code, message);
        Report(out, allOk, "changelist job type", false, code + ": " + message);
        return;
    }
    Report(out, allOk, "changelist job type", true,
           jobInfo.enabled ? "enabled" : "disabled (the next job or `snapscan verify` enables it)");
}

}  // namespace

int RunCheck(const CheckRequest& request, Output& out) {
    bool allOk = true;
    std::string problem;
    const bool settings = TZPlatformInfo::CheckSettings(problem);
    Report(out, allOk, "settings", settings,
           settings ? HostConfig::ConfigDir() + "/settings.ini reads exactly" : problem);
    NASSnapUtil credentials;
    int lookupId = static_cast<int>(request.clientId);
    problem.clear();
    const bool usable = credentials.CheckCredentials(lookupId, problem);
    Report(out, allOk, "credentials", usable,
           usable ? "client " + std::to_string(request.clientId) + " has a usable entry" : problem);
    CheckMounts(request, out, allOk);
    if (request.array && usable) CheckArray(request.clientId, out, allOk);
    return allOk ? 0 : 1;
}

}  // namespace snapscan
