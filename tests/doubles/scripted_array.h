#pragma once

// The process-wide script behind the test double of ManageIsilon. The plug-in
// makes its own ManageIsilon objects (the client keeps one, a comparison builds
// another), so every object of the double reads and writes this one state.
//
// Faults are counted per operation from the moment they are set: FailNth(op, 2)
// fails the second call of op after this point, FailNext(op, 3) the next three,
// FailAlways(op) every call until Succeed(op) or Reset().

#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "common/CRwError.h"
#include "common/Records.h"

namespace snapscan_test {

enum class ArrayOp {
    OpenConnection,
    GetSnapshotList,
    CreateSnapshot,
    DeleteSnapshot,
    GetVersionInfo,
    GetChangeListJobInfo,
    SetChangeListJobInfo,
    CreateSnapshotChangeList,
    GetSnapshotChangeList,
};
constexpr int kArrayOpCount = 9;

const char* ArrayOpName(ArrayOp op);

// One call the plug-in made, with its main arguments as text, in order:
//   OpenConnection            fileServer, user (as stored, after ValidateEscSeq), password
//   GetSnapshotList           reserved1, reserved2
//   CreateSnapshot            path, name
//   DeleteSnapshot            reserved1, name, flags
//   GetVersionInfo            (none)
//   GetChangeListJobInfo      (none)
//   SetChangeListJobInfo      "enabled=0|1"
//   CreateSnapshotChangeList  baseId, incrId, retainRepState "0|1"
//   GetSnapshotChangeList     baseId, incrId, resumeToken given
// object is the serial number of the ManageIsilon object (1 for the first
// created since Reset), so tests can tell a reused connection from a new one.
struct ArrayCall {
    ArrayOp op;
    std::vector<std::string> args;
    int object = 0;
    bool failed = false;
};

// One page of a changelist as GetSnapshotChangeList hands it out.
struct ChangeListPage {
    std::vector<_IsilonChangeListItem> items;
    std::string resumeToken;
};

class ScriptedArray {
public:
    static ScriptedArray& Get();

    // Back to an empty array: no snapshots, no versions, job type disabled, no
    // faults, no pages, no calls, counters 0, next snapshot id 1.
    void Reset();

    // --- faults ------------------------------------------------------------
    // code/message are what GetLastError reports afterwards. For operations
    // that return CRwError the failure is ErrorWin32(win32Code, message).
    void FailNth(ArrayOp op, int n, const std::string& code, const std::string& message,
                 uint32_t win32Code = 1627);
    void FailNext(ArrayOp op, int count, const std::string& code, const std::string& message,
                  uint32_t win32Code = 1627);
    void FailAlways(ArrayOp op, const std::string& code, const std::string& message,
                    uint32_t win32Code = 1627);
    void Succeed(ArrayOp op);  // removes every fault of op

    // --- the array's content ----------------------------------------------
    // CreateSnapshot appends {name, nextSnapshotId++, path}; a name already in
    // the list fails with "AEC_CONFLICT" like the real array. DeleteSnapshot
    // removes every entry of that name (false with "AEC_NOT_FOUND" if none, with
    // "INVALID_ARGUMENT" for an empty name, as the real client).
    std::vector<_IsilonSnapInfo> snapshots;
    int32_t nextSnapshotId = 1;
    _IsilonSnapInfo& AddSnapshot(const std::string& name, int32_t id, const std::string& path);
    bool HasSnapshot(const std::string& name) const;
    std::vector<std::string> SnapshotNames() const;

    std::vector<_IsilonVersionInfo> versions;
    void SetRelease(const std::string& release);  // one version entry with that release

    _ChangeListCreateJobInfo
        jobInfo;  // what GetChangeListJobInfo reads, SetChangeListJobInfo writes

    // Served in order, one per successful GetSnapshotChangeList; an empty queue
    // gives an empty last page.
    std::deque<ChangeListPage> changeListPages;

    // --- what happened -----------------------------------------------------
    std::vector<ArrayCall> calls;
    int objectsCreated = 0;
    int objectsDestroyed = 0;
    int connectionsOpened = 0;  // successful OpenConnection calls
    int LiveObjects() const { return objectsCreated - objectsDestroyed; }
    // The last failure an operation returning CRwError handed out (to check
    // that the plug-in passes it on unchanged).
    CRwError lastReturnedError;

    int CallCount(ArrayOp op) const;
    std::vector<ArrayCall> CallsOf(ArrayOp op) const;
    // Names given to DeleteSnapshot, in call order.
    std::vector<std::string> DeletedNames() const;
    // Every operation name in call order, e.g. {"OpenConnection","GetSnapshotList"}.
    std::vector<std::string> OpSequence() const;

    // --- used by the double ------------------------------------------------
    struct FaultHit {
        bool fail = false;
        std::string code;
        std::string message;
        uint32_t win32Code = 1627;
    };
    // Counts one call of op and says whether it fails.
    FaultHit NextCall(ArrayOp op);

private:
    ScriptedArray() = default;

    struct Fault {
        int64_t first;  // call numbers [first, last], 1-based since Reset
        int64_t last;
        std::string code;
        std::string message;
        uint32_t win32Code;
    };
    void AddFault(ArrayOp op, int64_t first, int64_t last, const std::string& code,
                  const std::string& message, uint32_t win32Code);

    std::vector<Fault> m_faults[kArrayOpCount];
    int64_t m_counts[kArrayOpCount] = {};
};

}  // namespace snapscan_test
