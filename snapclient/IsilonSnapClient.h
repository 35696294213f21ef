#pragma once

#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "common/CRwError.h"
#include "common/Records.h"
#include "host/ApplicationId.h"
#include "host/CFileServerSnapClientBase.h"
#include "host/CSnapDiffEventMonitor.h"
#include "host/ContentMapper.h"
#include "host/ManageIsilon.h"
#include "host/TzMntTab.h"
#include "snapclient/LinkRowSpill.h"

// The snapshot client for the scale-out NAS array: one object serves one backup
// job, called from one thread at a time.
class CIsilonSnapClient : public CFileServerSnapClientBase {
public:
    CIsilonSnapClient();
    ~CIsilonSnapClient() override;

    CRwError Initialize(LONGLONG jobId, ULONG clientId, ULONG appType, ULONG subclientId,
                        const std::string& jobResultsDir, const std::string& extraText,
                        const std::string& snapMapInfoFile, LONGLONG prevJobId,
                        LONGLONG extraValue1, LONGLONG extraValue2, LONGLONG extraValue3,
                        const ContentMapperAPIPtr& contentMapper) override;
    CRwError InitArray(ULONG clientId) override;
    CRwError VerifySnapScanSupport() override;
    CRwError ConfigureSnapshot(std::list<std::string>& scanPaths,
                               const std::list<std::string>& extraList1,
                               const std::list<std::string>& extraList2) override;
    CRwError ManageSnapshots() override;
    CRwError CompareSnapshots(std::string sourceVolume, std::string localVolume,
                              std::function<FileServerSnapshotCompareItem()>& next) override;
    CRwError CleanupSnapshot(const std::set<std::string>& snapshotNames) override;
    CRwError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
    CRwError CleanupSnapshotsPostBackup(bool unused) override;
    CRwError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
    CRwError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failedMounts) override;

    virtual CRwError CreateSnapshot(std::list<std::string>& scanPaths,
                                    const std::list<std::string>& extraList1,
                                    const std::list<std::string>& extraList2);
    virtual CRwError AddSnapDevInfo();
    virtual void GetSnapshotName(LONGLONG jobId, const std::string& sharePath, std::string& name);
    virtual void GetPartialSnapshotName(LONGLONG jobId, std::string& name);

    // The item source that CompareSnapshots hands out, bound to this client.
    FileServerSnapshotCompareItem GetSnapshotCompareItem();

private:
    // Snapshot creation, one share at a time. The working collections of one
    // CreateSnapshot call.
    struct SnapshotRun {
        bool backupFromSnapshotOnly = false;
        std::list<std::string> processedPaths;            // as listed, in input order
        std::map<std::string, std::string> failedShares;  // export path -> first reason
        std::set<std::string> unusableSnapshots;          // deleted at the end of the call
    };
    enum class SnapshotOutcome { kCreated, kLive, kDropped };
    // A share path that would forge map-file lines or name another share's
    // directory; logged.
    bool IsRefusedScanPath(const std::string& sharePath, const std::string& mapKey) const;
    // Creates the share's snapshot; a name in use counts as created. A failure
    // is logged, sent as an event and noted in run; the share is then read
    // live, or dropped when only snapshots may be read.
    SnapshotOutcome TakeShareSnapshot(const std::string& sharePath, const std::string& exportPath,
                                      const std::string& snapshotName, int& snapshotId,
                                      SnapshotRun& run, const FXCodeLocation& here);
    // Reads the share from its snapshot when the snapshot is readable below the
    // read path's .snapshot; otherwise forgets the snapshot (deleted at the end)
    // and reads the share live. False: the share is dropped.
    bool UseSnapshotIfReadable(const std::string& sharePath, std::string& readPath,
                               FileServerExportInfo& share, SnapshotRun& run,
                               const FXCodeLocation& here);
    // The failure of a call that processed no share, with every reason.
    CRwError NoShareProcessed(const SnapshotRun& run, const FXCodeLocation& here);

    // Change detection, step by step. Failures are built or pushed at `here`,
    // CompareSnapshots' own location.
    // The share of that scan path when it has both snapshots; else null (logged).
    const FileServerExportInfo* FindComparableShare(const std::string& volume) const;
    // The first page, retried while the array is still building the changelist,
    // up to the wait limit of the settings.
    CRwError WaitForChangeList(ManageIsilon& array, uint64_t& baseId, uint64_t& incrId,
                               _IsilonChangeListInfo& page, const FXCodeLocation& here);
    // A fresh change-event database for the pair, replacing the earlier one.
    CRwError CreateEventDatabase(uint64_t baseId, uint64_t incrId, const FXCodeLocation& here);
    // Every page, from the first one already in `page`, into the database.
    CRwError LoadChangeList(ManageIsilon& array, const std::string& volume, uint64_t& baseId,
                            uint64_t& incrId, _IsilonChangeListInfo& page, time_t nextProgressTime,
                            const FXCodeLocation& here);
    CRwError LoadChangeListPage(const _IsilonChangeListInfo& page, const std::string& volume,
                                uint64_t baseId, uint64_t incrId, _ChangeEventItem& row,
                                uint64_t& itemCount, const FXCodeLocation& here);
    // Keeps a further path of a hard-linked file for delivery after the database's rows.
    CRwError KeepLinkRow(const _ChangeEventItem& row, const FXCodeLocation& here);

    // Finds the path on the array that a scan path is: through the agent's
    // auto-mount converter when a content mapper was given, else through the
    // first mount-table entry that holds it. False: the share is not resolvable.
    bool ResolveExportPath(const std::string& scanPath,
                           const std::list<TzMntTab::Entry>& mountTable, std::string& exportPath);
    // The failure of a snapshot listing the array refused, from its last error.
    CRwError ListFailure(const FXCodeLocation& location);
    // Sends the job event of a changelist that could not be read; returns it.
    CRwError SendChangeListEvent(uint64_t baseId, uint64_t incrId, const std::string& message);

    ULONG m_clientId;
    ULONG m_appType;
    ULONG m_subclientId;
    LONGLONG m_jobId;
    std::string m_jobResultsDir;
    std::string m_extraText;
    std::string m_snapMapInfoFile;
    LONGLONG m_extraValue1;
    LONGLONG m_extraValue2;
    LONGLONG m_extraValue3;
    LONGLONG m_prevJobId;
    std::string m_snapNamePrefix;
    std::list<FileServerExportInfo> m_shares;
    std::map<std::string, std::string> m_contentMapperPaths;
    boost::shared_ptr<CSnapDiffEventMonitor> m_eventMonitor;
    // Rows the database keeps one per inode cannot hold: the further paths of a
    // hard-linked file, delivered after the database's rows.
    snapclient::LinkRowSpill m_linkRows;
    // The previous changelist entry while a changelist loads, and whether the
    // stored row of its inode took a removed path as its old path already.
    struct LinkState {
        bool havePrevious = false;
        bool previousRemoved = false;
        int64_t previousInode = 0;
        std::string previousPath;
        bool oldPathTaken = false;
    };
    LinkState m_linkState;
    boost::shared_ptr<ManageIsilon> m_array;
    bool m_hasContentMapper;
    boost::shared_ptr<ApplicationId> m_appId;
    _NASArrayInfo m_arrayInfo;

    friend class CIsilonSnapClientTest;  // tests read the job state
};

extern "C" __attribute__((visibility("default"))) CFileServerSnapClientBase* GetSnapClient();
