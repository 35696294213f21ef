#include "snapclient/IsilonSnapClient.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "common/FXPath.h"
#include "common/FXString.h"
#include "common/auto_fileptr.h"
#include "host/FXErrorUtil.h"
#include "host/FileShareAutoMount.h"
#include "host/GetObjectGuid.h"
#include "host/HostClock.h"
#include "host/HostSleep.h"
#include "host/ISendEventInterface.h"
#include "host/LogWriter.h"
#include "host/NASSnapUtil.h"
#include "host/TZPlatformInfo.h"
#include "host/TzMntTab.h"
#include "snapclient/ChangeListEntry.h"
#include "snapclient/ExportPath.h"

namespace {

const char kSettingsSection[] = "~FileSystemAgent";
const char kBackupFromSnapshotOnly[] = "bBackupFromSnapshotOnly";
const char kDisableSnapdiff[] = "nDisableSnapdiffForStreamingBackups";
const char kChangeListWaitTime[] = "IsilonChangeListGenerationWaitTime";

const char kMinimumRelease[] = "8.1.0.2";
// Compared with every row's type, loaded and delivered: as views, the
// comparison looks at the lengths first.
constexpr std::string_view kRemovedChangeType = "(REMOVED)";
constexpr std::string_view kDirectoryChangeType = "directory";
const char kNotInitialized[] = "ManageIsilon not initialized";
const char kConnectFailed[] =
    "Unable to connect to array:[%s]. Please check connectivity to the array and check the array "
    "management settings.";
const char kListFailed[] = "Couldn't get snapshot list from file server. Error message[%s]";
const char kChangeListFailed[] =
    "Unable to get the snapshot changelist between snapshots [BASE][%llu] and [INCR][%llu]";

const int32_t kEventSnapshotCreateFailed = 0x11000093;
const int32_t kEventSnapshotAccessFailed = 0x110000A5;
const int32_t kEventSharesFailed = 0x11000086;
const int32_t kEventChangeListFailed = 0x11000094;

const uint32_t kOutOfMemory = 14;
const uint32_t kBadArguments = 160;
const uint32_t kInternalError = 1359;
const uint32_t kFunctionFailed = 1627;

const uint64_t kRemovedInodeBit = 0x2000000000000000ULL;
const unsigned int kChangeListPollMilliseconds = 5000;
const int kDefaultChangeListWaitSeconds = 180;
const time_t kProgressIntervalSeconds = 60;

// Reads one integer setting of the agent's section. The value stays 0 when the
// key is absent; a setting counts as set only when it exists and is non-zero.
bool ReadSetting(const char* key, int& value) {
    value = 0;
    TZPlatformInfo platformInfo;
    return platformInfo.getRegInt(kSettingsSection, key, &value) && value != 0;
}

// The failure code of a listing the array refused: its last-error code read as
// a signed decimal number. Zero, and anything that is not such a number or does
// not fit 32 bits, becomes the general failure, so a symbolic code never ends
// the job abnormally or turns the failure into a success.
uint32_t ListFailureCode(const std::string& codeText) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(codeText.c_str(), &end, 10);
    if (end == codeText.c_str() || errno == ERANGE || value == 0 || value < INT_MIN ||
        value > INT_MAX)
        return kFunctionFailed;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

bool HasLineFeed(const std::string& text) { return text.find('\n') != std::string::npos; }

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Orders two releases by their dot-separated components, so that 8.1.0.10 and
// 10.0.0.0 come after 8.1.0.2. Two numbers compare by value (of any length);
// a component that is not a number compares by characters, letters without
// regard to case. A release that is a leading part of the other orders first.
int CompareReleases(const std::string& left, const std::string& right) {
    std::string::size_type leftAt = 0;
    std::string::size_type rightAt = 0;
    for (;;) {
        const std::string::size_type leftEnd = std::min(left.find('.', leftAt), left.size());
        const std::string::size_type rightEnd = std::min(right.find('.', rightAt), right.size());
        std::string a = left.substr(leftAt, leftEnd - leftAt);
        std::string b = right.substr(rightAt, rightEnd - rightAt);
        int order = 0;
        if (IsDecimal(a) && IsDecimal(b)) {
            a.erase(0, std::min(a.find_first_not_of('0'), a.size() - 1));
            b.erase(0, std::min(b.find_first_not_of('0'), b.size() - 1));
            order = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1) : a.compare(b);
        } else {
            order = FXString::CompareNoCase(a, b);
        }
        if (order != 0) return order < 0 ? -1 : 1;
        const bool leftDone = leftEnd == left.size();
        const bool rightDone = rightEnd == right.size();
        if (leftDone || rightDone) return leftDone == rightDone ? 0 : (leftDone ? -1 : 1);
        leftAt = leftEnd + 1;
        rightAt = rightEnd + 1;
    }
}

}  // namespace

extern "C" CFileServerSnapClientBase* GetSnapClient() {
    return new (std::nothrow) CIsilonSnapClient();
}

CIsilonSnapClient::CIsilonSnapClient()
    : m_clientId(0),
      m_appType(0),
      m_subclientId(0),
      m_jobId(0),
      m_extraValue1(0),
      m_extraValue2(0),
      m_extraValue3(0),
      m_prevJobId(0),
      m_hasContentMapper(false) {}

CIsilonSnapClient::~CIsilonSnapClient() {
    // The change-event database goes first: its file lives under the job's
    // results directory and must be closed before anything else is torn down.
    m_eventMonitor.reset();
}

CRwError CIsilonSnapClient::Initialize(LONGLONG jobId, ULONG clientId, ULONG appType,
                                       ULONG subclientId, const std::string& jobResultsDir,
                                       const std::string& extraText,
                                       const std::string& snapMapInfoFile, LONGLONG prevJobId,
                                       LONGLONG extraValue1, LONGLONG extraValue2,
                                       LONGLONG extraValue3,
                                       const ContentMapperAPIPtr& contentMapper) {
    m_jobId = jobId;
    m_clientId = clientId;
    m_appType = appType;
    m_subclientId = subclientId;
    m_jobResultsDir = jobResultsDir;
    m_extraText = extraText;
    m_snapMapInfoFile = snapMapInfoFile;
    m_extraValue1 = extraValue1;
    m_extraValue2 = extraValue2;
    m_extraValue3 = extraValue3;
    m_prevJobId = prevJobId;

    m_snapNamePrefix = FXString::Format("%s_%u_%u_", "TZOP", m_clientId, m_subclientId);

    CRwError error = InitArray(clientId);
    if (error.IsError()) return error.Push(FX_HERE);

    m_appId.reset(new (std::nothrow) ApplicationId(m_appType, m_subclientId));
    if (!m_appId) return FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);

    if (contentMapper) {
        m_hasContentMapper = true;
        boost::shared_ptr<CContentMapper> mapper =
            boost::dynamic_pointer_cast<CContentMapper>(contentMapper);
        if (!mapper)
            return FXErrorUtil::ErrorWin32(FX_HERE, kBadArguments,
                                           "Dynamic cast failed for ContentMapper");
        m_contentMapperPaths = mapper->GetPathMap();
        return CRwError::Success();
    }

    m_hasContentMapper = false;
    return CRwError::Success();
}

CRwError CIsilonSnapClient::InitArray(ULONG clientId) {
    {
        NASSnapUtil nasSnapUtil;
        nasSnapUtil.Initialize();
        int lookupClientId = static_cast<int>(clientId);
        if (!nasSnapUtil.GetArrayNameAndCredentialsByClientId(lookupClientId, m_arrayInfo))
            return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed,
                                           "Unable to get array credentials.");
    }

    if (!m_array) {
        m_array.reset(new (std::nothrow) ManageIsilon());
        if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
    }

    m_array->SetFileServer(m_arrayInfo.fileServer);
    m_array->SetUser(m_arrayInfo.userName);
    m_array->SetPasswd(m_arrayInfo.password);
    m_array->SetCredentialsEntry(m_arrayInfo.text0);

    if (!m_array->OpenConnection()) {
        m_array.reset();
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, kConnectFailed,
                                       m_arrayInfo.fileServer.c_str());
    }
    return CRwError::Success();
}

void CIsilonSnapClient::GetPartialSnapshotName(LONGLONG jobId, std::string& name) {
    name = FXString::Format("%s%llu_", m_snapNamePrefix.c_str(),
                            static_cast<unsigned long long>(jobId));
}

void CIsilonSnapClient::GetSnapshotName(LONGLONG jobId, const std::string& sharePath,
                                        std::string& name) {
    std::string pathId;
    GetObjectGuid(sharePath, 0, 47, pathId);
    name = FXString::Format("%s%llu_%s", m_snapNamePrefix.c_str(),
                            static_cast<unsigned long long>(jobId), pathId.c_str());
}

CRwError CIsilonSnapClient::VerifySnapScanSupport() {
    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    std::vector<_IsilonVersionInfo> versions;
    CRwError error = m_array->GetVersionInfo(versions);
    if (error.IsError()) {
        m_array.reset();
        return error;
    }

    if (versions.empty()) {
        const std::string fileServer = m_array->GetFileServer();
        m_array.reset();
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed,
                                       "Could not get array[%s] version info", fileServer.c_str());
    }

    // Releases are compared from their first digit on ("v8.1.2.0" -> "8.1.2.0").
    std::string release = versions.front().release;
    const std::string::size_type firstDigit = release.find_first_of("0123456789");
    if (firstDigit != std::string::npos) release.erase(0, firstDigit);

    if (CompareReleases(release, kMinimumRelease) < 0) {
        m_array.reset();
        return FXErrorUtil::ErrorWin32(
            FX_HERE, kFunctionFailed,
            "Release[%s] is less than [%s], NAS snap scan is not supported", release.c_str(),
            kMinimumRelease);
    }

    _ChangeListCreateJobInfo jobInfo;
    error = m_array->GetChangeListJobInfo(jobInfo);
    if (error.IsError()) {
        m_array.reset();
        return error;
    }

    if (!jobInfo.enabled) {
        jobInfo.enabled = true;
        error = m_array->SetChangeListJobInfo(jobInfo);
        if (error.IsError()) {
            m_array.reset();
            return error;
        }
        SNAP_LOG(0, "ChangelistCreate job type enabled for NAS snap scan on file server[%s]",
                 m_array->GetFileServer().c_str());
    }

    m_array.reset();
    return CRwError::Success();
}

CRwError CIsilonSnapClient::ConfigureSnapshot(std::list<std::string>& scanPaths,
                                              const std::list<std::string>& extraList1,
                                              const std::list<std::string>& extraList2) {
    CRwError error = CreateSnapshot(scanPaths, extraList1, extraList2);
    if (error.IsError()) return error.Push(FX_HERE);

    error = ManageSnapshots();
    if (error.IsError()) return error.Push(FX_HERE);

    m_array.reset();
    return CRwError::Success();
}

CRwError CIsilonSnapClient::CreateSnapshot(std::list<std::string>& scanPaths,
                                           const std::list<std::string>& /*extraList1*/,
                                           const std::list<std::string>& /*extraList2*/) {
    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    SnapshotRun run;
    int settingValue = 0;
    run.backupFromSnapshotOnly = ReadSetting(kBackupFromSnapshotOnly, settingValue);

    std::list<TzMntTab::Entry> mountTable;
    if (!m_hasContentMapper) {
        CRwError error = TzMntTab::getAll(mountTable);
        if (error.IsError()) return error.Push(FX_HERE);
    }

    for (const std::string& sharePath : scanPaths) {
        FileServerExportInfo share;
        share.scanPath = sharePath;
        FXPath::RemoveTrailingDelimiter(share.scanPath);

        std::string mapKey = sharePath;
        FXPath::AppendTrailingDelimiter(mapKey);
        if (IsRefusedScanPath(sharePath, mapKey)) continue;

        std::string exportPath;
        if (!ResolveExportPath(sharePath, mountTable, exportPath)) continue;

        std::string snapshotName;
        GetSnapshotName(m_jobId, exportPath, snapshotName);
        share.exportPath = exportPath;
        share.sourcePath = exportPath;

        // The events and reasons built on the way name this operation, the one
        // the agent called.
        int snapshotId = 0;
        const SnapshotOutcome outcome =
            TakeShareSnapshot(sharePath, exportPath, snapshotName, snapshotId, run, FX_HERE);
        if (outcome == SnapshotOutcome::kDropped) continue;

        std::string& readPath = m_contentMapperPaths[mapKey];
        if (readPath.empty()) readPath = mapKey;

        if (outcome == SnapshotOutcome::kCreated) {
            share.snapshotName = snapshotName;
            share.snapshotId = static_cast<uint64_t>(static_cast<int64_t>(snapshotId));
            if (!UseSnapshotIfReadable(sharePath, readPath, share, run, FX_HERE)) continue;
        } else {
            share.snapshotName.clear();
            share.snapshotId = 0;
            share.hasSnapshotPair = false;
        }

        run.processedPaths.push_back(sharePath);
        m_shares.push_back(share);
    }

    if (!run.unusableSnapshots.empty()) CleanupSnapshot(run.unusableSnapshots);

    if (run.processedPaths.empty()) return NoShareProcessed(run, FX_HERE);

    SNAP_LOG(0, "[%zu] out of [%zu] shares are processed in snap client.",
             run.processedPaths.size(), scanPaths.size());
    scanPaths = run.processedPaths;
    return CRwError::Success();
}

bool CIsilonSnapClient::IsRefusedScanPath(const std::string& sharePath,
                                          const std::string& mapKey) const {
    // The map file holds one line per share; a line feed in a share path or
    // in its read path would let it forge lines of its own.
    std::map<std::string, std::string>::const_iterator mapped = m_contentMapperPaths.find(mapKey);
    if (HasLineFeed(sharePath) ||
        (mapped != m_contentMapperPaths.end() && HasLineFeed(mapped->second))) {
        SNAP_LOG(-1,
                 "Scan Content [%s] contains a line feed in its path or its mapped path, "
                 "skipping from snapshot creation.",
                 sharePath.c_str());
        return true;
    }

    // "/mnt/share1/../share2" lies below /mnt/share1 by its text but is
    // another share's directory: the snapshot would be taken of the wrong path.
    if (snapclient::HasDotComponent(sharePath)) {
        SNAP_LOG(-1,
                 "Scan Content [%s] has a \".\" or \"..\" component in its path, skipping "
                 "from snapshot creation.",
                 sharePath.c_str());
        return true;
    }
    return false;
}

CIsilonSnapClient::SnapshotOutcome CIsilonSnapClient::TakeShareSnapshot(
    const std::string& sharePath, const std::string& exportPath, const std::string& snapshotName,
    int& snapshotId, SnapshotRun& run, const FXCodeLocation& here) {
    if (m_array->CreateSnapshot(exportPath, snapshotName, snapshotId))
        return SnapshotOutcome::kCreated;

    std::string code;
    std::string message;
    m_array->GetLastError(code, message);
    if (code == "AEC_CONFLICT") {
        SNAP_LOG(-1,
                 "Could not create snapshot:[%s] on path:[%s]. Error code:[%s] Error "
                 "Message:[%s], assume snapshot is already created",
                 snapshotName.c_str(), exportPath.c_str(), code.c_str(), message.c_str());
        return SnapshotOutcome::kCreated;
    }

    SNAP_LOG(-1,
             "Could not create snapshot:[%s] on path:[%s] Backup path:[%s]. Error "
             "code:[%s] Error Message:[%s].",
             snapshotName.c_str(), exportPath.c_str(), sharePath.c_str(), code.c_str(),
             message.c_str());
    CRwError event = FXErrorUtil::ErrorEventMessage(here, kEventSnapshotCreateFailed);
    event << snapshotName.c_str() << exportPath.c_str() << message.c_str();
    ISendEventInterface::GetInstance()->PostEvent(event, 6, 0);
    if (run.failedShares.find(exportPath) == run.failedShares.end())
        run.failedShares[exportPath] = "Snapshot creation failed: [" + message + "]";

    if (run.backupFromSnapshotOnly) {
        SNAP_LOG(0,
                 "Snapshot creation failed on path [%s], additional setting to backup "
                 "data only from snapshot is set, fail the path.",
                 sharePath.c_str());
        return SnapshotOutcome::kDropped;
    }
    SNAP_LOG(0,
             "Snapshot creation failed on path [%s], backing up data from live file "
             "system.",
             sharePath.c_str());
    return SnapshotOutcome::kLive;
}

bool CIsilonSnapClient::UseSnapshotIfReadable(const std::string& sharePath, std::string& readPath,
                                              FileServerExportInfo& share, SnapshotRun& run,
                                              const FXCodeLocation& here) {
    const std::string snapshotName = share.snapshotName;
    std::string snapshotPath = readPath;
    FXPath::Append(snapshotPath, ".snapshot", 0);
    FXPath::Append(snapshotPath, snapshotName, 0);

    // The agent's auto-mount component mounts the share later: nothing to look at yet.
    CRwError accessError;
    if (!m_hasContentMapper) {
        bool exists = false;
        accessError = FXPath::DoesPathExist(snapshotPath, exists);
    }

    if (!accessError.IsError()) {
        readPath = snapshotPath;
        share.snapshotPath = snapshotPath;
        return true;
    }

    const std::string accessText = accessError.AsString();
    SNAP_LOG(-1,
             ".snapshot path is not accessible, can't use NAS snap scan. Please enable "
             ".snapshot access [%s]",
             accessText.c_str());
    CRwError event = FXErrorUtil::ErrorEventMessage(here, kEventSnapshotAccessFailed);
    event << snapshotName.c_str() << snapshotPath.c_str() << accessText.c_str();
    share.snapshotName.clear();
    share.snapshotId = 0;
    share.hasSnapshotPair = false;
    ISendEventInterface::GetInstance()->PostEvent(event, 6, 0);
    if (run.failedShares.find(share.exportPath) == run.failedShares.end())
        run.failedShares[share.exportPath] =
            ".snapshot path access failed: [" + event.AsString() + "]";
    run.unusableSnapshots.insert(snapshotName);

    if (run.backupFromSnapshotOnly) {
        SNAP_LOG(0,
                 ".snapshot access failed on path [%s], additional setting to backup "
                 "data only from snapshot is set, fail the path.",
                 sharePath.c_str());
        return false;
    }
    SNAP_LOG(0,
             ".snapshot folder access failed on path [%s], backing up data from live "
             "filesystem.",
             sharePath.c_str());
    return true;
}

CRwError CIsilonSnapClient::NoShareProcessed(const SnapshotRun& run, const FXCodeLocation& here) {
    std::string summary;
    for (const auto& failed : run.failedShares)
        summary += failed.first + ": " + failed.second + "\n";
    SNAP_LOG(-1, "Processing of shares failed:\n[%s]", summary.c_str());
    CRwError error = FXErrorUtil::ErrorEventMessage(here, kEventSharesFailed);
    error << summary.c_str();
    return error;
}

bool CIsilonSnapClient::ResolveExportPath(const std::string& scanPath,
                                          const std::list<TzMntTab::Entry>& mountTable,
                                          std::string& exportPath) {
    if (m_hasContentMapper) {
        std::string mountSource;
        std::string unused;
        bool noMountForm = false;
        CRwError error = FileShareAutoMount::convertScanToMountFormat(scanPath, mountSource, unused,
                                                                      noMountForm);
        if (error.IsError() || noMountForm) {
            SNAP_LOG(-1, "Couldn't get export path [%s]", scanPath.c_str());
            return false;
        }
        exportPath = snapclient::ExportPathOfMountSource(mountSource);
        SNAP_LOG(2, "NFS share path [%s]", exportPath.c_str());
        return true;
    }

    SNAP_LOG(2, "Scan Content [%s]", scanPath.c_str());
    for (const TzMntTab::Entry& entry : mountTable) {
        // The root mount covers every path and says nothing about which share
        // a path belongs to.
        if (entry.mountPoint == "/" || !FXPath::IsDescendantOf(scanPath, entry.mountPoint, true))
            continue;

        exportPath = snapclient::ExportPathOfMountSource(entry.device);
        if (FXPath::IsDescendantOf(scanPath, entry.mountPoint, false)) {
            std::string below = scanPath;
            FXPath::RemovePathFromFileName(below, entry.mountPoint);
            FXPath::Append(exportPath, below, 0);
            exportPath = snapclient::FoldRepeatedDelimiters(exportPath);
        }
        SNAP_LOG(2, "NFS share path [%s]", exportPath.c_str());
        return true;
    }

    SNAP_LOG(-1,
             "Scan Content [%s] is not mounted on this proxy machine, skipping from snapshot "
             "creation.",
             scanPath.c_str());
    return false;
}

CRwError CIsilonSnapClient::ManageSnapshots() {
    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    int settingValue = 0;
    const bool deletePrevious = ReadSetting(kDisableSnapdiff, settingValue);
    if (deletePrevious)
        SNAP_LOG(1,
                 "Additional setting[%s] present, deleting previous job [%lld] snapshots if exist.",
                 kDisableSnapdiff, static_cast<long long>(m_prevJobId));

    std::vector<_IsilonSnapInfo> snapshots;
    if (!m_array->GetSnapshotList(snapshots, "", "")) return ListFailure(FX_HERE);

    std::string currentJobPrefix;
    std::string previousJobPrefix;
    GetPartialSnapshotName(m_jobId, currentJobPrefix);
    GetPartialSnapshotName(m_prevJobId, previousJobPrefix);

    std::set<std::string> deleteSet;
    for (FileServerExportInfo& share : m_shares) {
        share.prevSnapshotName.clear();
        share.prevSnapshotId = 0;
        share.hasSnapshotPair = false;

        std::string sharePath = share.exportPath;
        FXString::RemoveRight(sharePath, "/");
        std::string currentName;
        std::string previousName;
        GetSnapshotName(m_jobId, sharePath, currentName);
        GetSnapshotName(m_prevJobId, sharePath, previousName);

        for (const _IsilonSnapInfo& snapshot : snapshots) {
            if (!FXString::MatchLeft(snapshot.name, m_snapNamePrefix)) continue;

            if (snapshot.name == currentName && snapshot.path == sharePath) {
                share.snapshotId = static_cast<uint64_t>(static_cast<int64_t>(snapshot.id));
            } else if (snapshot.name == previousName && snapshot.path == sharePath) {
                if (deletePrevious) {
                    deleteSet.insert(snapshot.name);
                } else {
                    share.prevSnapshotName = snapshot.name;
                    share.prevSnapshotId = static_cast<uint64_t>(static_cast<int64_t>(snapshot.id));
                    if (!share.snapshotName.empty()) share.hasSnapshotPair = true;
                }
            } else if (FXString::MatchLeft(snapshot.name, currentJobPrefix) ||
                       FXString::MatchLeft(snapshot.name, previousJobPrefix)) {
                // Another share's snapshot of the current or the previous job.
            } else {
                deleteSet.insert(snapshot.name);
            }
        }
    }

    CleanupSnapshot(deleteSet);
    return CRwError::Success();
}

CRwError CIsilonSnapClient::ListFailure(const FXCodeLocation& location) {
    std::string code;
    std::string message;
    m_array->GetLastError(code, message);
    return FXErrorUtil::ErrorWin32(location, ListFailureCode(code), kListFailed, message.c_str());
}

CRwError CIsilonSnapClient::CleanupSnapshot(const std::set<std::string>& snapshotNames) {
    // Reachable by the agent directly; without a connection there is nothing to
    // delete through.
    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    for (const std::string& name : snapshotNames) {
        SNAP_LOG(3, "Deleting snapshot [%s]", name.c_str());
        // Best effort: a snapshot that stays is selected again by the next cleanup.
        m_array->DeleteSnapshot("Empty", name, 0);
    }
    return CRwError::Success();
}

CRwError CIsilonSnapClient::CleanupSnapshotsPostBackup(bool /*unused*/) {
    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    int settingValue = 0;
    const bool deleteCurrent = ReadSetting(kDisableSnapdiff, settingValue);
    if (deleteCurrent)
        SNAP_LOG(0,
                 "Registry key[%s] set to value[%d], deleting current job's snapshot. Next "
                 "incremental job will not use fast scan",
                 kDisableSnapdiff, settingValue);

    std::vector<_IsilonSnapInfo> snapshots;
    if (!m_array->GetSnapshotList(snapshots, "", "")) return ListFailure(FX_HERE);

    std::string currentJobPrefix;
    GetPartialSnapshotName(m_jobId, currentJobPrefix);

    std::set<std::string> deleteSet;
    for (const _IsilonSnapInfo& snapshot : snapshots) {
        if (!FXString::MatchLeft(snapshot.name, m_snapNamePrefix)) continue;
        if (deleteCurrent || !FXString::MatchLeft(snapshot.name, currentJobPrefix))
            deleteSet.insert(snapshot.name);
    }

    SNAP_LOG(1, "Deleting [%zu] older snapshots in post op phase.", deleteSet.size());
    CleanupSnapshot(deleteSet);
    m_array.reset();
    return CRwError::Success();
}

CRwError CIsilonSnapClient::DeleteAutoMountFailedSnapshots(
    const std::list<std::string>& failedMounts) {
    CRwError error = InitArray(m_clientId);
    if (error.IsError()) return error.Push(FX_HERE);

    if (!m_array) return FXErrorUtil::ErrorWin32(FX_HERE, kInternalError, kNotInitialized);

    std::vector<_IsilonSnapInfo> snapshots;
    if (!m_array->GetSnapshotList(snapshots, "", "")) return ListFailure(FX_HERE);

    std::set<std::string> snapshotsToDelete;
    for (const std::string& failedMount : failedMounts) {
        const std::string exportPath = snapclient::ExportPathOfMountSource(failedMount);
        std::string name;
        GetSnapshotName(m_jobId, exportPath, name);
        SNAP_LOG(0, "Auto-mount client: Deleting snapshot [%s] of failed share [%s]", name.c_str(),
                 failedMount.c_str());
        for (const _IsilonSnapInfo& snapshot : snapshots) {
            if (FXString::MatchLeft(snapshot.name, m_snapNamePrefix) && snapshot.name == name)
                snapshotsToDelete.insert(snapshot.name);
        }
    }

    CleanupSnapshot(snapshotsToDelete);
    return CRwError::Success();
}

CRwError CIsilonSnapClient::AddSnapDevInfo() {
    if (m_snapMapInfoFile.empty())
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, "SnapMapInfo file not set");

    auto_fileptr file(fopen(m_snapMapInfoFile.c_str(), "a+"));
    if (!file.is_valid())
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, " Failed to open [%s] file",
                                       m_snapMapInfoFile.c_str());

    // The agent reads the read paths from this file: a short file must not pass
    // for a complete one, so every write and the close are checked.
    for (const auto& entry : m_contentMapperPaths) {
        // One line per entry: a line feed in either path would forge lines of
        // its own, whoever made the entry (this job or the agent's mapper).
        if (HasLineFeed(entry.first) || HasLineFeed(entry.second)) {
            SNAP_LOG(-1,
                     "Content mapper path [%s] contains a line feed in its path or its mapped "
                     "path, skipping from the snapshot map file.",
                     entry.first.c_str());
            continue;
        }
        if (fprintf(file.get(), "m:%s:%s:\n", entry.first.c_str(), entry.second.c_str()) < 0) {
            const int writeErrno = errno;
            return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed,
                                           "Failed to write [%s] file: %s",
                                           m_snapMapInfoFile.c_str(), strerror(writeErrno));
        }
    }
    if (fclose(file.release()) != 0) {
        const int closeErrno = errno;
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, "Failed to write [%s] file: %s",
                                       m_snapMapInfoFile.c_str(), strerror(closeErrno));
    }
    return CRwError::Success();
}

CRwError CIsilonSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
    if (!m_contentMapperPaths.empty()) {
        if (!contentMapper) {
            contentMapper.reset(new (std::nothrow) CContentMapper());
            if (!contentMapper) return FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
        }
        contentMapper->SetPathMap(m_contentMapperPaths);
        for (const auto& entry : m_contentMapperPaths)
            SNAP_LOG(0, "Content mapper path: %s : %s", entry.first.c_str(), entry.second.c_str());
    }

    CRwError error = AddSnapDevInfo();
    if (error.IsError()) return error.Push(FX_HERE);
    return CRwError::Success();
}

CRwError CIsilonSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) {
    if (!contentMapper) {
        SNAP_LOG(0, "Given content mapper is not initialized!");
        return CRwError::Success();
    }

    m_hasContentMapper = true;
    boost::shared_ptr<CContentMapper> mapper =
        boost::dynamic_pointer_cast<CContentMapper>(contentMapper);
    if (!mapper)
        return FXErrorUtil::ErrorWin32(FX_HERE, kBadArguments,
                                       "Dynamic cast failed for ContentMapper");

    m_contentMapperPaths.clear();
    if (m_snapMapInfoFile.empty())
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, "SnapMapInfo file not set");

    m_contentMapperPaths = mapper->GetPathMap();

    // The file is emptied first and then written anew: a failure on the way
    // would leave the agent a short or empty map, so it is reported.
    auto_fileptr truncated(fopen(m_snapMapInfoFile.c_str(), "w"));
    if (!truncated.is_valid())
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, " Failed to open [%s] file",
                                       m_snapMapInfoFile.c_str());

    CRwError error = AddSnapDevInfo();
    truncated.reset(nullptr);
    if (error.IsError()) return error.Push(FX_HERE);
    return CRwError::Success();
}

CRwError CIsilonSnapClient::CompareSnapshots(std::string sourceVolume, std::string localVolume,
                                             std::function<FileServerSnapshotCompareItem()>& next) {
    std::unique_ptr<TZDebugFunction> trace;
    if (g_ptrLogWriter->GetLevel() >= 1)
        trace.reset(new TZDebugFunction(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 1, 0,
                                        0xFFFFFFFF, nullptr));

    std::string volume = sourceVolume;
    FXPath::RemoveTrailingDelimiter(volume);
    SNAP_LOG(0, "Source volume[%s], Local volume[%s]", volume.c_str(), localVolume.c_str());

    const time_t nextProgressTime = TZTime() + kProgressIntervalSeconds;

    const FileServerExportInfo* share = FindComparableShare(volume);
    if (share == nullptr)
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed,
                                       "Could not compare snapshots for path [%s]", volume.c_str());
    uint64_t baseId = share->prevSnapshotId;
    uint64_t incrId = share->snapshotId;
    const unsigned long long base = baseId;
    const unsigned long long incr = incrId;

    SNAP_LOG(0, "Compare snapshots Current:[%s] Prev:[%s]", share->snapshotName.c_str(),
             share->prevSnapshotName.c_str());

    ManageIsilon array;
    array.SetFileServer(m_arrayInfo.fileServer);
    array.SetUser(m_arrayInfo.userName);
    array.SetPasswd(m_arrayInfo.password);
    array.SetCredentialsEntry(m_arrayInfo.text0);
    if (!array.OpenConnection())
        return FXErrorUtil::ErrorWin32(FX_HERE, kFunctionFailed, kConnectFailed,
                                       m_arrayInfo.fileServer.c_str());

    CRwError error = array.CreateSnapshotChangeList(baseId, incrId, true);
    if (error.IsError())
        return error.Push(FX_HERE,
                          "Unable to create snapshot changelist between snapshots [BASE][%llu] and "
                          "[INCR][%llu].",
                          base, incr);

    // The helpers build and push their failures at this operation's location:
    // the agent's trail names the operation it called.
    _IsilonChangeListInfo page;
    error = WaitForChangeList(array, baseId, incrId, page, FX_HERE);
    if (error.IsError()) return error;

    error = CreateEventDatabase(baseId, incrId, FX_HERE);
    if (error.IsError()) return error;

    error = LoadChangeList(array, volume, baseId, incrId, page, nextProgressTime, FX_HERE);
    if (error.IsError()) return error;

    error = m_eventMonitor->PrepareSelectQuery();
    if (error.IsError())
        return error.Push(FX_HERE, "Unable to prepare select query for the event database");

    next = std::bind(&CIsilonSnapClient::GetSnapshotCompareItem, this);
    return CRwError::Success();
}

const FileServerExportInfo* CIsilonSnapClient::FindComparableShare(
    const std::string& volume) const {
    const FileServerExportInfo* share = nullptr;
    for (const FileServerExportInfo& candidate : m_shares) {
        if (candidate.scanPath == volume) {
            share = &candidate;
            break;
        }
    }
    if (share == nullptr) return nullptr;

    if (share->prevSnapshotName.empty() || share->prevSnapshotId == 0 ||
        share->snapshotName.empty() || share->snapshotId == 0) {
        SNAP_LOG(-1, "Current snapshot[%s] or prev snapshot[%s] is not valid",
                 share->snapshotName.c_str(), share->prevSnapshotName.c_str());
        return nullptr;
    }
    return share;
}

CRwError CIsilonSnapClient::WaitForChangeList(ManageIsilon& array, uint64_t& baseId,
                                              uint64_t& incrId, _IsilonChangeListInfo& page,
                                              const FXCodeLocation& here) {
    const unsigned long long base = baseId;
    const unsigned long long incr = incrId;

    int waitSeconds = 0;
    if (ReadSetting(kChangeListWaitTime, waitSeconds))
        SNAP_LOG(0, "Registry key[%s] set to value[%d]", kChangeListWaitTime, waitSeconds);
    else
        waitSeconds = kDefaultChangeListWaitSeconds;

    // The array builds the changelist in a job of its own; until that has
    // finished the first page is "not found".
    std::string code;
    std::string message;
    int attempt = 0;
    const time_t waitStart = TZTime();
    for (;;) {
        CRwError error = array.GetSnapshotChangeList(baseId, incrId, page);
        if (!error.IsError()) return CRwError::Success();
        array.GetLastError(code, message);
        if (code != "AEC_NOT_FOUND") break;

        ++attempt;
        SNAP_LOG(0, "Wait for file server to create the ChangeList and recheck. Attempt[%d]",
                 attempt);
        TZSleep(kChangeListPollMilliseconds, __FILE__, __LINE__);
        if (TZTime() - waitStart > waitSeconds) break;
    }

    array.GetLastError(code, message);
    SNAP_LOG(0,
             "Unable to get the snapshot changelist between snapshots [BASE][%llu] and "
             "[INCR][%llu], Error:[%s][%s]",
             base, incr, code.c_str(), message.c_str());
    SendChangeListEvent(baseId, incrId, message);
    return FXErrorUtil::ErrorWin32(here, kFunctionFailed,
                                   "Unable to get the snapshot changelist between snapshots "
                                   "[BASE][%llu] and [INCR][%llu], Error:[%s][%s]",
                                   base, incr, code.c_str(), message.c_str());
}

CRwError CIsilonSnapClient::CreateEventDatabase(uint64_t baseId, uint64_t incrId,
                                                const FXCodeLocation& here) {
    // The earlier database goes first: a comparison of the same pair reuses its file name.
    m_eventMonitor.reset();
    try {
        m_eventMonitor = boost::make_shared<CSnapDiffEventMonitor>(m_jobResultsDir, baseId, incrId);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(here, kOutOfMemory);
    }
    CRwError error = m_eventMonitor->Create();
    if (error.IsError()) return error.Push(here);
    return CRwError::Success();
}

CRwError CIsilonSnapClient::LoadChangeList(ManageIsilon& array, const std::string& volume,
                                           uint64_t& baseId, uint64_t& incrId,
                                           _IsilonChangeListInfo& page, time_t nextProgressTime,
                                           const FXCodeLocation& here) {
    const unsigned long long base = baseId;
    const unsigned long long incr = incrId;
    uint64_t itemCount = 0;
    _ChangeEventItem row;
    m_linkRows.Reset(m_jobResultsDir);
    m_linkState = LinkState();
    for (;;) {
        CRwError error = LoadChangeListPage(page, volume, baseId, incrId, row, itemCount, here);
        if (error.IsError()) return error;

        if (page.resumeToken.empty()) break;

        error = array.GetSnapshotChangeList(baseId, incrId, page);
        if (error.IsError()) {
            std::string code;
            std::string message;
            array.GetLastError(code, message);
            CRwError event = SendChangeListEvent(baseId, incrId, message);
            return event.Push(here, kChangeListFailed, base, incr);
        }

        const time_t now = TZTime();
        if (itemCount % 100 == 0 && now >= nextProgressTime) {
            SNAP_LOG(0,
                     "Number of items received by ChangeList for snapshots [BASE][%llu] and "
                     "[INCR][%llu]: %llu ",
                     base, incr, static_cast<unsigned long long>(itemCount));
            nextProgressTime = now + kProgressIntervalSeconds;
        }
    }

    SNAP_LOG(0,
             "Total number of items received by ChangeList for snapshots [BASE][%llu] and "
             "[INCR][%llu]: %llu ",
             base, incr, static_cast<unsigned long long>(itemCount));
    return CRwError::Success();
}

CRwError CIsilonSnapClient::LoadChangeListPage(const _IsilonChangeListInfo& page,
                                               const std::string& volume, uint64_t baseId,
                                               uint64_t incrId, _ChangeEventItem& row,
                                               uint64_t& itemCount, const FXCodeLocation& here) {
    const unsigned long long base = baseId;
    const unsigned long long incr = incrId;
    // The log level is asked for once a page rather than once an entry: asking
    // is a call into the log writer, which cost about a fortieth of the load.
    const bool traceEntries = g_ptrLogWriter->GetLevel() >= 3;
    for (const _IsilonChangeListItem& entry : page.items) {
        row.clear();
        // An entry that names nothing below the share, or no inode number,
        // is a bad answer: delivered, it would name a file outside the share
        // or merge unrelated entries under one inode.
        uint64_t inode = 0;
        std::string problem;
        if (!snapclient::CheckChangeListEntry(entry.path, entry.inode, inode, problem)) {
            SNAP_LOG(-1,
                     "Refused changelist entry between snapshots [BASE][%llu] and "
                     "[INCR][%llu]: %s",
                     base, incr, problem.c_str());
            CRwError event = SendChangeListEvent(baseId, incrId, problem);
            return event.Push(here, kChangeListFailed, base, incr);
        }
        row.inode = static_cast<int64_t>(inode & ~kRemovedInodeBit);
        row.path.assign(volume).append(entry.path);
        row.accessTime = entry.accessTime;
        row.modifiedTime = entry.modifiedTime;
        row.changeTime = entry.changeTime;
        row.size = entry.size;
        if ((inode & kRemovedInodeBit) != 0)
            row.changeType = kRemovedChangeType;
        else
            row.changeType = entry.changeType;

        if (traceEntries)
            SNAP_LOG(3,
                     "Path[%s], ChangeType[%s], AccessTime[%llu], ChangeTime[%llu], "
                     "ModifiedTime[%llu], Size[%lld], inode[%s]",
                     row.path.c_str(), entry.changeType.c_str(),
                     static_cast<unsigned long long>(entry.accessTime),
                     static_cast<unsigned long long>(entry.changeTime),
                     static_cast<unsigned long long>(entry.modifiedTime),
                     static_cast<long long>(entry.size), entry.inode.c_str());

        bool duplicate = false;
        CRwError error = m_eventMonitor->InsertEvent(row, duplicate);
        if (error.IsError()) return error.Push(here);

        // The entries of one inode arrive one after the other, also across
        // pages: its present paths, later its removed ones.
        LinkState& links = m_linkState;
        const bool removed = row.changeType == kRemovedChangeType;
        const bool sameInode = links.havePrevious && links.previousInode == row.inode &&
                               links.previousRemoved == removed;
        if (!removed || !sameInode) links.oldPathTaken = false;
        if (duplicate) {
            if (removed && sameInode && links.oldPathTaken) {
                // One more removed path of a hard-linked file: the stored row
                // holds an old path already.
                SNAP_LOG(3, "Found another removed path of Inode[%lld]: Path[%s]",
                         static_cast<long long>(row.inode), row.path.c_str());
                error = KeepLinkRow(row, here);
                if (error.IsError()) return error;
            } else if (removed) {
                // The removed half of a rename: the stored row is the entry at
                // its new path.
                SNAP_LOG(3, "Found rename event for Path[%s], Inode[%lld]", row.path.c_str(),
                         static_cast<long long>(row.inode));
                error = m_eventMonitor->UpdateRenameEvent(row);
                if (error.IsError()) return error.Push(here);
                links.oldPathTaken = true;
            } else if (sameInode && links.previousPath != row.path) {
                // Another path of a hard-linked file: a change of its own.
                SNAP_LOG(3, "Found another path of Inode[%lld]: Path[%s]",
                         static_cast<long long>(row.inode), row.path.c_str());
                error = KeepLinkRow(row, here);
                if (error.IsError()) return error;
            } else {
                SNAP_LOG(-1, "Found duplicate event for Path[%s], ChangeType[%s], Inode[%lld]",
                         row.path.c_str(), row.changeType.c_str(),
                         static_cast<long long>(row.inode));
            }
        }
        links.havePrevious = true;
        links.previousRemoved = removed;
        links.previousInode = row.inode;
        // Swapped, not copied: the row's path is made anew for the next entry.
        links.previousPath.swap(row.path);
        ++itemCount;
    }
    return CRwError::Success();
}

CRwError CIsilonSnapClient::KeepLinkRow(const _ChangeEventItem& row, const FXCodeLocation& here) {
    std::string problem;
    if (m_linkRows.Add(row, problem)) return CRwError::Success();
    SNAP_LOG(-1, "Could not keep the further paths of hard links: %s", problem.c_str());
    return FXErrorUtil::ErrorWin32(here, kFunctionFailed,
                                   "Could not keep the further paths of hard links: %s",
                                   problem.c_str());
}

CRwError CIsilonSnapClient::SendChangeListEvent(uint64_t baseId, uint64_t incrId,
                                                const std::string& message) {
    CRwError event = FXErrorUtil::ErrorEventMessage(FX_HERE, kEventChangeListFailed);
    event << boost::any(baseId) << boost::any(incrId) << message.c_str();
    ISendEventInterface::GetInstance()->SendEvent(event, 0, 0);
    return event;
}

FileServerSnapshotCompareItem CIsilonSnapClient::GetSnapshotCompareItem() {
    FileServerSnapshotCompareItem item;
    if (!m_eventMonitor) {
        SNAP_LOG(0, "The event database is not initialized.");
        item.type = 6;
        return item;
    }

    _ChangeEventItem row;
    int result = m_eventMonitor->GetNextEvent(row);
    if (result == 1) {
        std::string problem;
        const int link = m_linkRows.Next(row, problem);
        if (link == 0) {
            item.type = 5;
            return item;
        }
        if (link < 0) {
            SNAP_LOG(-1, "Could not read the further paths of hard links: %s", problem.c_str());
            result = -1;
        } else {
            result = 0;
        }
    }
    if (result == -1) {
        SNAP_LOG(0, "Could not get all the records from ChangeList event cache.");
        item.type = 6;
        return item;
    }

    SNAP_LOG(3, "Path [%s], ChangeType [%s], Inode [%llu], OldPath [%s]", row.path.c_str(),
             row.changeType.c_str(), static_cast<unsigned long long>(row.inode),
             row.oldPath.c_str());

    bool directoryLike = row.changeType == kDirectoryChangeType;
    item.type = 2;
    if (row.changeType == kRemovedChangeType) {
        item.type = 4;
        directoryLike = true;
    } else if (row.isRename == 1) {
        item.type = 3;
    }

    item.info.inode = static_cast<uint64_t>(row.inode);
    item.info.accessTime = row.accessTime;
    item.info.modifiedTime = row.modifiedTime;
    item.info.changeTime = row.changeTime;
    item.info.size = static_cast<uint64_t>(row.size);
    item.info.mode = directoryLike ? 0x4000 : 0x8000;

    if (directoryLike) {
        if (!row.path.empty()) FXPath::AppendTrailingDelimiter(row.path);
        if (!row.oldPath.empty()) FXPath::AppendTrailingDelimiter(row.oldPath);
        item.extraFlag = false;
    }
    item.path = std::move(row.path);
    item.oldPath = std::move(row.oldPath);
    return item;
}
