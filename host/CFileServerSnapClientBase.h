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
//
// The agent's call order for one job (tools/snapscan's RunJob follows it):
//   1. Initialize: with a content mapper in auto-mount mode (shares given as
//      host:/path or nfs://host/path), an empty handle in mount-table mode.
//   2. VerifySnapScanSupport. It releases the array connection whatever it
//      answers; a failure means "no change detection", not "no job".
//   3. InitArray, to connect again.
//   4. ConfigureSnapshot (snapshots, then retention; releases the connection).
//   5. UpdateContentMapperPaths.
//   6. Incremental jobs only: per processed share, CompareSnapshots and then
//      its items through `next` up to the end item (5) or an error item (6),
//      before the next share is compared.
//   7. After the backup, on a client whose connection is open (a second
//      client's Initialize, or InitArray): CleanupSnapshotsPostBackup.
//   In auto-mount mode, DeleteAutoMountFailedSnapshots for the shares whose
//   mount failed; RepopulateContentMapperPaths when the agent hands its map back.
//
// The array connection. Initialize opens it (through InitArray); InitArray
// opens it again, reusing the connection object. ConfigureSnapshot (on
// success), CleanupSnapshotsPostBackup (on success) and VerifySnapScanSupport
// (on every path once it found a connection) release it, and InitArray drops
// it when connecting fails. An operation that needs it and finds none fails
// with 1359 "ManageIsilon not initialized" and does nothing else.
// CompareSnapshots never uses it: it opens a connection of its own for the
// call from the credentials Initialize looked up, and closes it on every exit.
//
// Failures. Every operation returns CRwError::Success() or a failure whose code
// is 14 (out of memory, no message), 160 (bad argument), 1359 (internal error;
// "ManageIsilon not initialized"), 1627 (function failed, with a message), the
// array client's own failure (GetVersionInfo, job-type and changelist calls,
// passed on as the client built it), or an event message id. A failure passed
// up from a callee carries the caller's location pushed onto it; "unchanged"
// below means no location is added. No operation throws.
class SNAPHOST_API CFileServerSnapClientBase {
public:
    // The agent destroys the client through this. The item source that
    // CompareSnapshots handed out must not be called afterwards.
    virtual ~CFileServerSnapClientBase();

    // Stores the job's identity (ids, results directory, map-file path), makes
    // the snapshot-name prefix TZOP_<clientId>_<subclientId>_, then calls
    // InitArray(clientId). With a content mapper: auto-mount mode, and the
    // mapper's path map is copied into the client. Without one: mount-table
    // mode, and an earlier path map stays.
    // Needs: nothing. Leaves: the connection open on success, and also after
    // the two failures that come after InitArray.
    // Fails: InitArray's failure pushed (identity and prefix already stored);
    // 14 when the job identity cannot be allocated; 160 "Dynamic cast failed for
    // ContentMapper" when the mapper is not the host's CContentMapper (the mode is
    // auto-mount all the same, the path map unchanged).
    virtual CRwError Initialize(LONGLONG jobId, ULONG clientId, ULONG appType, ULONG subclientId,
                                const std::string& jobResultsDir, const std::string& extraText,
                                const std::string& snapMapInfoFile, LONGLONG prevJobId,
                                LONGLONG extraValue1, LONGLONG extraValue2, LONGLONG extraValue3,
                                const ContentMapperAPIPtr& contentMapper) = 0;

    // Looks up the array and credentials of clientId (the same 32 bits as a
    // signed number) and connects.
    // Needs: nothing; a held connection object is reused and connected again.
    // Leaves: the connection open on success.
    // Fails: 1627 "Unable to get array credentials." (connection as it was);
    // 14 (no connection); 1627 "Unable to connect to array:[<file server>].
    // Please check connectivity to the array and check the array management
    // settings." (connection dropped).
    virtual CRwError InitArray(ULONG clientId) = 0;

    // Succeeds when the array's release is 8.1.0.2 or later (dot-separated
    // numbers compared by value, from the release text's first digit on) and
    // enables the array's changelist job type when it is disabled.
    // Needs: the connection. Leaves: none, on every path after the first check.
    // Fails: 1359 without a connection; the array client's failure of the
    // version, job-type read or job-type write, unchanged; 1627 "Could not get
    // array[%s] version info" for an empty version list; 1627 "Release[%s] is
    // less than [%s], NAS snap scan is not supported".
    virtual CRwError VerifySnapScanSupport() = 0;

    // CreateSnapshot with the same arguments, then ManageSnapshots. On success
    // scanPaths lists the processed shares and the connection is released.
    // Needs: the connection. Leaves: none on success; the connection still open
    // on failure, with the records and map entries made so far in place.
    // Fails: the failure of CreateSnapshot or ManageSnapshots, pushed; among
    // them 1359 without a connection and event id 0x11000086 (285212806, the
    // per-share reasons as its one argument) when no share was processed.
    // Per-share problems do not fail the call: they are logged and sent as
    // events 0x11000093 (snapshot not created) and 0x110000A5 (.snapshot not
    // readable). The second and third lists are not read.
    virtual CRwError ConfigureSnapshot(std::list<std::string>& scanPaths,
                                       const std::list<std::string>& extraList1,
                                       const std::list<std::string>& extraList2) = 0;

    // Job-start retention: records each share's current snapshot id and its
    // previous job's snapshot (the comparison base), and deletes the client's
    // snapshots of other jobs. Deletions are best effort and never fail it.
    // Needs: the connection. Leaves: it open.
    // Fails: 1359 without a connection; when the array's snapshot list cannot
    // be read, its last-error code as a decimal number (1627 when that is 0 or
    // not a number) with "Couldn't get snapshot list from file server. Error
    // message[%s]"; the share records are then unchanged and nothing is deleted.
    virtual CRwError ManageSnapshots() = 0;

    // Builds the change-event database of one share (sourceVolume, a trailing
    // "/" ignored, selects it among the processed shares; localVolume is only
    // logged): asks the array for the changelist between the previous job's
    // snapshot (BASE) and this job's (INCR), waits while it is not ready, up to
    // "IsilonChangeListGenerationWaitTime" seconds (180 when absent or 0), and
    // loads it page by page. Blocks for all of that.
    // Needs: ConfigureSnapshot has run for the share with a comparison base;
    // not the client's connection (it opens and closes one of its own).
    // `next`: on success, bound to this client's GetSnapshotCompareItem. Each
    // call yields one item: 2 changed, 3 renamed, 4 removed, then 5 (the end,
    // again on every later call) or 6 (an error). The callable holds the client
    // without owning it: it is valid while the client lives and until the next
    // CompareSnapshots of the same client that gets as far as the database,
    // which replaces the database it reads. On failure `next` is untouched.
    // Fails: 1627 "Could not compare snapshots for path [%s]" when no share has
    // that path or it has no snapshot pair (the array is not contacted); 1627
    // "Unable to connect to array:[%s]. ..."; the array client's failure to
    // start the changelist, pushed with "Unable to create snapshot changelist
    // between snapshots [BASE][%llu] and [INCR][%llu]."; 1627 "Unable to get the
    // snapshot changelist between snapshots [BASE][%llu] and [INCR][%llu],
    // Error:[%s][%s]" when the first page fails or is not ready in time; for a
    // later page, or an entry naming nothing below the share or no inode number,
    // event 0x11000094 (BASE, INCR, the message) pushed with "Unable to get the
    // snapshot changelist ..."; 14 when the database cannot be allocated; the
    // database's failure, pushed. Every 0x11000094 failure is also sent as an
    // event.
    virtual CRwError CompareSnapshots(std::string sourceVolume, std::string localVolume,
                                      std::function<FileServerSnapshotCompareItem()>& next) = 0;

    // Deletes the named snapshots, in ascending order, best effort: a deletion
    // the array refuses is not reported.
    // Needs: the connection. Leaves: it open.
    // Fails: 1359 without a connection (nothing deleted); otherwise succeeds.
    virtual CRwError CleanupSnapshot(const std::set<std::string>& snapshotNames) = 0;

    // Hands the client's path map to the mapper (making a CContentMapper in the
    // caller's handle when it is empty and the map is not) and appends one
    // "m:<share>:<read path>:" line per entry to the snapshot map file.
    // Needs: no connection. Fails: 14 when no mapper can be made; 1627 "SnapMapInfo
    // file not set", 1627 when the file cannot be opened or written, pushed.
    virtual CRwError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;

    // Post-backup retention: deletes every snapshot of this client and
    // subclient except the current job's (all of them when
    // "nDisableSnapdiffForStreamingBackups" is set). The flag has no effect.
    // Needs: the connection. Leaves: none on success, it open on failure.
    // Fails: 1359 without a connection; the snapshot-list failure as for
    // ManageSnapshots (nothing deleted).
    virtual CRwError CleanupSnapshotsPostBackup(bool unused) = 0;

    // Takes the path map back from the mapper and rewrites the snapshot map
    // file from empty. An empty handle is a success that changes nothing.
    // Needs: no connection. Fails: 160 "Dynamic cast failed for ContentMapper"
    // (auto-mount mode set, map unchanged); 1627 "SnapMapInfo file not set" (map
    // left empty); 1627 when the file cannot be emptied; a failed write of the
    // lines, pushed.
    virtual CRwError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;

    // Deletes this job's snapshot of each failed mount (host:path; the export
    // path is the text after the first ":").
    // Needs: nothing; it connects itself through InitArray. Leaves: the
    // connection open.
    // Fails: InitArray's failure, pushed; 1359 without a connection; the
    // snapshot-list failure as for ManageSnapshots (nothing deleted).
    virtual CRwError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failedMounts) = 0;
};

// The plug-in's one exported entry point: a new client, or null when memory is
// exhausted. The caller owns it and deletes it through the virtual destructor.
extern "C" typedef CFileServerSnapClientBase* (*GetSnapClientFn)();
