#include "tests/doubles/scripted_array.h"

#include <algorithm>

namespace snapscan_test {

const char* ArrayOpName(ArrayOp op) {
    switch (op) {
        case ArrayOp::OpenConnection:
            return "OpenConnection";
        case ArrayOp::GetSnapshotList:
            return "GetSnapshotList";
        case ArrayOp::CreateSnapshot:
            return "CreateSnapshot";
        case ArrayOp::DeleteSnapshot:
            return "DeleteSnapshot";
        case ArrayOp::GetVersionInfo:
            return "GetVersionInfo";
        case ArrayOp::GetChangeListJobInfo:
            return "GetChangeListJobInfo";
        case ArrayOp::SetChangeListJobInfo:
            return "SetChangeListJobInfo";
        case ArrayOp::CreateSnapshotChangeList:
            return "CreateSnapshotChangeList";
        case ArrayOp::GetSnapshotChangeList:
            return "GetSnapshotChangeList";
    }
    return "?";
}

ScriptedArray& ScriptedArray::Get() {
    static ScriptedArray array;
    return array;
}

void ScriptedArray::Reset() {
    snapshots.clear();
    nextSnapshotId = 1;
    versions.clear();
    jobInfo = _ChangeListCreateJobInfo();
    changeListPages.clear();
    calls.clear();
    objectsCreated = objectsDestroyed = connectionsOpened = 0;
    lastReturnedError = CRwError();
    for (int i = 0; i < kArrayOpCount; ++i) {
        m_faults[i].clear();
        m_counts[i] = 0;
    }
}

void ScriptedArray::AddFault(ArrayOp op, int64_t first, int64_t last, const std::string& code,
                             const std::string& message, uint32_t win32Code) {
    m_faults[static_cast<int>(op)].push_back(Fault{first, last, code, message, win32Code});
}

void ScriptedArray::FailNth(ArrayOp op, int n, const std::string& code, const std::string& message,
                            uint32_t win32Code) {
    const int64_t call = m_counts[static_cast<int>(op)] + n;
    AddFault(op, call, call, code, message, win32Code);
}

void ScriptedArray::FailNext(ArrayOp op, int count, const std::string& code,
                             const std::string& message, uint32_t win32Code) {
    const int64_t now = m_counts[static_cast<int>(op)];
    AddFault(op, now + 1, now + count, code, message, win32Code);
}

void ScriptedArray::FailAlways(ArrayOp op, const std::string& code, const std::string& message,
                               uint32_t win32Code) {
    AddFault(op, m_counts[static_cast<int>(op)] + 1, std::numeric_limits<int64_t>::max(), code,
             message, win32Code);
}

void ScriptedArray::Succeed(ArrayOp op) { m_faults[static_cast<int>(op)].clear(); }

ScriptedArray::FaultHit ScriptedArray::NextCall(ArrayOp op) {
    const int index = static_cast<int>(op);
    const int64_t call = ++m_counts[index];
    FaultHit hit;
    for (const Fault& fault : m_faults[index]) {
        if (call >= fault.first && call <= fault.last) {
            hit.fail = true;
            hit.code = fault.code;
            hit.message = fault.message;
            hit.win32Code = fault.win32Code;
            break;
        }
    }
    return hit;
}

_IsilonSnapInfo& ScriptedArray::AddSnapshot(const std::string& name, int32_t id,
                                            const std::string& path) {
    _IsilonSnapInfo info;
    info.name = name;
    info.id = id;
    info.path = path;
    snapshots.push_back(info);
    return snapshots.back();
}

bool ScriptedArray::HasSnapshot(const std::string& name) const {
    return std::any_of(snapshots.begin(), snapshots.end(),
                       [&](const _IsilonSnapInfo& s) { return s.name == name; });
}

std::vector<std::string> ScriptedArray::SnapshotNames() const {
    std::vector<std::string> names;
    for (const _IsilonSnapInfo& s : snapshots) names.push_back(s.name);
    return names;
}

void ScriptedArray::SetRelease(const std::string& release) {
    versions.clear();
    _IsilonVersionInfo version;
    version.release = release;
    versions.push_back(version);
}

int ScriptedArray::CallCount(ArrayOp op) const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [op](const ArrayCall& c) { return c.op == op; }));
}

std::vector<ArrayCall> ScriptedArray::CallsOf(ArrayOp op) const {
    std::vector<ArrayCall> result;
    for (const ArrayCall& c : calls)
        if (c.op == op) result.push_back(c);
    return result;
}

std::vector<std::string> ScriptedArray::DeletedNames() const {
    std::vector<std::string> names;
    for (const ArrayCall& c : calls)
        if (c.op == ArrayOp::DeleteSnapshot && c.args.size() > 1) names.push_back(c.args[1]);
    return names;
}

std::vector<std::string> ScriptedArray::OpSequence() const {
    std::vector<std::string> ops;
    for (const ArrayCall& c : calls) ops.push_back(ArrayOpName(c.op));
    return ops;
}

}  // namespace snapscan_test
