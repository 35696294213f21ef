// The test double of the change-event database: every operation of
// CSnapDiffEventMonitor served from memory and the process-wide
// ScriptedDatabase. Test executables link this instead of the SQLite database.
#include <map>
#include <new>
#include <string>

#include "host/CSnapDiffEventMonitor.h"
#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "tests/doubles/scripted_database.h"

using snapscan_test::DatabaseCall;
using snapscan_test::DatabaseOp;
using snapscan_test::ScriptedDatabase;

struct CSnapDiffEventMonitor::Impl {
    enum class State { kNotCreated, kLoading, kReading, kFailed };

    std::string path;
    State state = State::kNotCreated;
    CRwError failure;
    std::map<int64_t, _ChangeEventItem> rows;
    std::map<int64_t, _ChangeEventItem>::const_iterator next;
    bool readFailed = false;

    static void Record(DatabaseOp op, int64_t inode = 0, const std::string& path = "") {
        ScriptedDatabase::Get().calls.push_back(DatabaseCall{op, inode, path, false});
    }

    CRwError Handed(const CRwError& error) {
        ScriptedDatabase& script = ScriptedDatabase::Get();
        script.calls.back().failed = true;
        script.lastReturnedError = error;
        return error;
    }

    CRwError Fail(const FXCodeLocation& location, const std::string& message) {
        failure = FXErrorUtil::ErrorWin32(location, 1627, "%s", message.c_str());
        state = State::kFailed;
        return Handed(failure);
    }

    CRwError NotLoading(const FXCodeLocation& location) {
        switch (state) {
            case State::kFailed:
                return Handed(CRwError(failure).Push(location));
            case State::kNotCreated:
                return Handed(FXErrorUtil::ErrorWin32(
                    location, 1627, "The event database [%s] is not created", path.c_str()));
            default:
                return Handed(FXErrorUtil::ErrorWin32(
                    location, 1627,
                    "The event database [%s] is being read; rows can no longer be added",
                    path.c_str()));
        }
    }
};

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& jobResultsDir, uint64_t baseId,
                                             uint64_t incrId) {
    ScriptedDatabase& script = ScriptedDatabase::Get();
    Impl::Record(DatabaseOp::Construct);
    std::string message;
    if (script.NextCall(DatabaseOp::Construct, message)) {
        script.calls.back().failed = true;
        throw std::bad_alloc();
    }
    m_impl.reset(new Impl);
    m_impl->path = jobResultsDir;
    if (!m_impl->path.empty() && m_impl->path.back() != '/') m_impl->path += '/';
    m_impl->path += "snapdiff_" + std::to_string(baseId) + "_" + std::to_string(incrId) + ".db";
    ++script.objectsCreated;
}

CSnapDiffEventMonitor::~CSnapDiffEventMonitor() { ++ScriptedDatabase::Get().objectsDestroyed; }

CRwError CSnapDiffEventMonitor::Create() {
    Impl& d = *m_impl;
    Impl::Record(DatabaseOp::Create);
    d.rows.clear();
    d.readFailed = false;
    std::string message;
    if (ScriptedDatabase::Get().NextCall(DatabaseOp::Create, message))
        return d.Fail(FX_HERE, message);
    d.state = Impl::State::kLoading;
    return CRwError::Success();
}

CRwError CSnapDiffEventMonitor::InsertEvent(const _ChangeEventItem& row, bool& duplicate) {
    Impl& d = *m_impl;
    duplicate = false;
    Impl::Record(DatabaseOp::InsertEvent, row.inode, row.path);
    if (d.state != Impl::State::kLoading) return d.NotLoading(FX_HERE);
    std::string message;
    if (ScriptedDatabase::Get().NextCall(DatabaseOp::InsertEvent, message))
        return d.Fail(FX_HERE, message);
    duplicate = !d.rows.emplace(row.inode, row).second;
    return CRwError::Success();
}

CRwError CSnapDiffEventMonitor::UpdateRenameEvent(const _ChangeEventItem& row) {
    Impl& d = *m_impl;
    Impl::Record(DatabaseOp::UpdateRenameEvent, row.inode, row.path);
    if (d.state != Impl::State::kLoading) return d.NotLoading(FX_HERE);
    std::string message;
    if (ScriptedDatabase::Get().NextCall(DatabaseOp::UpdateRenameEvent, message))
        return d.Fail(FX_HERE, message);
    auto stored = d.rows.find(row.inode);
    if (stored == d.rows.end())
        return d.Fail(FX_HERE, "No stored row with inode " + std::to_string(row.inode) +
                                   " for the rename from [" + row.path + "] in [" + d.path + "]");
    stored->second.oldPath = row.path;
    stored->second.isRename = 1;
    return CRwError::Success();
}

CRwError CSnapDiffEventMonitor::PrepareSelectQuery() {
    Impl& d = *m_impl;
    Impl::Record(DatabaseOp::PrepareSelectQuery);
    if (d.state == Impl::State::kNotCreated || d.state == Impl::State::kFailed)
        return d.NotLoading(FX_HERE);
    std::string message;
    if (ScriptedDatabase::Get().NextCall(DatabaseOp::PrepareSelectQuery, message))
        return d.Fail(FX_HERE, message);
    d.state = Impl::State::kReading;
    d.next = d.rows.begin();
    d.readFailed = false;
    return CRwError::Success();
}

int CSnapDiffEventMonitor::GetNextEvent(_ChangeEventItem& row) {
    Impl& d = *m_impl;
    Impl::Record(DatabaseOp::GetNextEvent);
    if (d.state != Impl::State::kReading) {
        SNAP_LOG(-1, "The event database [%s] is not ready for reading", d.path.c_str());
        return -1;
    }
    if (d.readFailed) {
        SNAP_LOG(-1, "Reading the event database [%s] failed before", d.path.c_str());
        return -1;
    }
    std::string message;
    if (ScriptedDatabase::Get().NextCall(DatabaseOp::GetNextEvent, message)) {
        ScriptedDatabase::Get().calls.back().failed = true;
        d.readFailed = true;
        SNAP_LOG(-1, "%s", message.c_str());
        return -1;
    }
    if (d.next == d.rows.end()) return 1;
    row = d.next->second;
    ++d.next;
    return 0;
}

std::string CSnapDiffEventMonitor::Path() const { return m_impl->path; }
