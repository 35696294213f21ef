#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <set>
#include <string>

#include "common/CRwError.h"
#include "common/Records.h"
#include "host/ContentMapper.h"
#include "host/SnapHostExport.h"

typedef int64_t LONGLONG;
typedef uint32_t ULONG;

// The snapshot client as the backup agent drives it, one object per job, one
// thread at a time. Slot order is part of the interface.
class SNAPHOST_API CFileServerSnapClientBase {
public:
    virtual ~CFileServerSnapClientBase();

    virtual CRwError Initialize(LONGLONG jobId, ULONG clientId, ULONG appType, ULONG subclientId,
                                const std::string& jobResultsDir, const std::string& extraText,
                                const std::string& snapMapInfoFile, LONGLONG prevJobId,
                                LONGLONG extraValue1, LONGLONG extraValue2, LONGLONG extraValue3,
                                const ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRwError InitArray(ULONG clientId) = 0;
    virtual CRwError VerifySnapScanSupport() = 0;
    virtual CRwError ConfigureSnapshot(std::list<std::string>& scanPaths,
                                       const std::list<std::string>& extraList1,
                                       const std::list<std::string>& extraList2) = 0;
    virtual CRwError ManageSnapshots() = 0;
    virtual CRwError CompareSnapshots(std::string sourceVolume, std::string localVolume,
                                      std::function<FileServerSnapshotCompareItem()>& next) = 0;
    virtual CRwError CleanupSnapshot(const std::set<std::string>& snapshotNames) = 0;
    virtual CRwError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRwError CleanupSnapshotsPostBackup(bool unused) = 0;
    virtual CRwError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRwError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failedMounts) = 0;
};

// The plug-in's one exported entry point: a new client, or null when memory is
// exhausted. The caller owns it and deletes it through the virtual destructor.
extern "C" typedef CFileServerSnapClientBase* (*GetSnapClientFn)();
