// The test double of the array client: every component operation of ManageIsilon
// served from the process-wide ScriptedArray. Test executables link this instead
// of the real HTTPS client.
#include <algorithm>
#include <string>

#include "host/FXErrorUtil.h"
#include "host/ManageIsilon.h"
#include "platform/manage_isilon_rules.h"
#include "tests/doubles/scripted_array.h"

using snapscan_test::ArrayCall;
using snapscan_test::ArrayOp;
using snapscan_test::ScriptedArray;

struct ManageIsilon::Impl {
    int serial = 0;
    bool connected = false;

    static void SetError(ManageIsilon& array, const std::string& code, const std::string& message) {
        array.m_lastErrorCode = code;
        array.m_lastErrorMessage = message;
    }

    // Records the call, then decides: a scripted fault first, then "not
    // connected" for any operation before a successful OpenConnection.
    static ScriptedArray::FaultHit Enter(ManageIsilon& array, ArrayOp op,
                                         std::vector<std::string> args) {
        ScriptedArray& script = ScriptedArray::Get();
        script.calls.push_back(ArrayCall{op, std::move(args), array.m_impl->serial, false});
        ScriptedArray::FaultHit hit = script.NextCall(op);
        if (!hit.fail && op != ArrayOp::OpenConnection && !array.m_impl->connected) {
            hit.fail = true;
            hit.code = ManageIsilonError::kNotConnected;
            hit.message = "operation before OpenConnection";
            hit.win32Code = 1627;
        }
        if (hit.fail) {
            script.calls.back().failed = true;
            SetError(array, hit.code, hit.message);
        }
        return hit;
    }

    static CRwError Failure(const ScriptedArray::FaultHit& hit) {
        CRwError error = FXErrorUtil::ErrorWin32(FX_HERE, hit.win32Code, "%s", hit.message.c_str());
        ScriptedArray::Get().lastReturnedError = error;
        return error;
    }
};

ManageIsilon::ManageIsilon() : m_impl(new Impl) {
    ScriptedArray& script = ScriptedArray::Get();
    m_impl->serial = ++script.objectsCreated;
}

ManageIsilon::~ManageIsilon() { ++ScriptedArray::Get().objectsDestroyed; }

std::string ManageIsilon::ValidateEscSeq(const std::string& user) const {
    std::string result;
    for (size_t i = 0; i < user.size(); ++i) {
        result += user[i];
        if (user[i] == '\\' && i + 1 < user.size() && user[i + 1] == '\\') ++i;
    }
    return result;
}

bool ManageIsilon::OpenConnection() {
    const auto hit =
        Impl::Enter(*this, ArrayOp::OpenConnection, {m_fileServer, m_userName, m_password});
    m_impl->connected = !hit.fail;
    if (hit.fail) return false;
    ++ScriptedArray::Get().connectionsOpened;
    return true;
}

bool ManageIsilon::GetSnapshotList(std::vector<_IsilonSnapInfo>& snapshots,
                                   const std::string& reserved1, const std::string& reserved2) {
    if (Impl::Enter(*this, ArrayOp::GetSnapshotList, {reserved1, reserved2}).fail) return false;
    snapshots = ScriptedArray::Get().snapshots;
    return true;
}

bool ManageIsilon::CreateSnapshot(const std::string& path, const std::string& name, int& id) {
    if (Impl::Enter(*this, ArrayOp::CreateSnapshot, {path, name}).fail) return false;
    ScriptedArray& script = ScriptedArray::Get();
    std::string code, message;
    if (!arrayrules::CheckSnapshotRequest("CreateSnapshot", path, name, code, message)) {
        Impl::SetError(*this, code, message);
        script.calls.back().failed = true;
        return false;
    }
    if (script.HasSnapshot(name)) {
        Impl::SetError(*this, "AEC_CONFLICT", "Snapshot name " + name + " is already in use.");
        script.calls.back().failed = true;
        return false;
    }
    id = script.nextSnapshotId++;
    script.AddSnapshot(name, id, path);
    return true;
}

bool ManageIsilon::DeleteSnapshot(const std::string& reserved1, const std::string& name,
                                  int flags) {
    if (Impl::Enter(*this, ArrayOp::DeleteSnapshot, {reserved1, name, std::to_string(flags)}).fail)
        return false;
    std::string code, message;
    if (!arrayrules::CheckSnapshotName("DeleteSnapshot", name, code, message)) {
        Impl::SetError(*this, code, message);
        ScriptedArray::Get().calls.back().failed = true;
        return false;
    }
    auto& list = ScriptedArray::Get().snapshots;
    const auto end = std::remove_if(list.begin(), list.end(),
                                    [&](const _IsilonSnapInfo& s) { return s.name == name; });
    if (end == list.end()) {
        Impl::SetError(*this, "AEC_NOT_FOUND", "Snapshot " + name + " not found.");
        ScriptedArray::Get().calls.back().failed = true;
        return false;
    }
    list.erase(end, list.end());
    return true;
}

CRwError ManageIsilon::GetVersionInfo(std::vector<_IsilonVersionInfo>& versions) {
    const auto hit = Impl::Enter(*this, ArrayOp::GetVersionInfo, {});
    if (hit.fail) return Impl::Failure(hit);
    versions = ScriptedArray::Get().versions;
    return CRwError::Success();
}

CRwError ManageIsilon::GetChangeListJobInfo(_ChangeListCreateJobInfo& info) {
    const auto hit = Impl::Enter(*this, ArrayOp::GetChangeListJobInfo, {});
    if (hit.fail) return Impl::Failure(hit);
    info = ScriptedArray::Get().jobInfo;
    return CRwError::Success();
}

CRwError ManageIsilon::SetChangeListJobInfo(_ChangeListCreateJobInfo& info) {
    const auto hit = Impl::Enter(*this, ArrayOp::SetChangeListJobInfo,
                                 {std::string("enabled=") + (info.enabled ? "1" : "0")});
    if (hit.fail) return Impl::Failure(hit);
    ScriptedArray::Get().jobInfo = info;
    return CRwError::Success();
}

CRwError ManageIsilon::CreateSnapshotChangeList(uint64_t& baseId, uint64_t& incrId,
                                                bool retainRepState) {
    const auto hit =
        Impl::Enter(*this, ArrayOp::CreateSnapshotChangeList,
                    {std::to_string(baseId), std::to_string(incrId), retainRepState ? "1" : "0"});
    if (hit.fail) return Impl::Failure(hit);
    return CRwError::Success();
}

CRwError ManageIsilon::GetSnapshotChangeList(uint64_t& baseId, uint64_t& incrId,
                                             _IsilonChangeListInfo& page) {
    const std::string sentToken = page.resumeToken;
    const auto hit = Impl::Enter(*this, ArrayOp::GetSnapshotChangeList,
                                 {std::to_string(baseId), std::to_string(incrId), sentToken});
    if (hit.fail) {
        arrayrules::LeaveFailedPage(page, sentToken);
        return Impl::Failure(hit);
    }
    auto& pages = ScriptedArray::Get().changeListPages;
    page.items.clear();
    page.resumeToken.clear();
    if (!pages.empty()) {
        page.items.assign(pages.front().items.begin(), pages.front().items.end());
        page.resumeToken = pages.front().resumeToken;
        pages.pop_front();
    }
    return CRwError::Success();
}
