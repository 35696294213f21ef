#include "tests/doubles/scripted_database.h"

namespace snapscan_test {

const char* DatabaseOpName(DatabaseOp op) {
    switch (op) {
        case DatabaseOp::Construct:
            return "Construct";
        case DatabaseOp::Create:
            return "Create";
        case DatabaseOp::InsertEvent:
            return "InsertEvent";
        case DatabaseOp::UpdateRenameEvent:
            return "UpdateRenameEvent";
        case DatabaseOp::PrepareSelectQuery:
            return "PrepareSelectQuery";
        case DatabaseOp::GetNextEvent:
            return "GetNextEvent";
    }
    return "?";
}

ScriptedDatabase& ScriptedDatabase::Get() {
    static ScriptedDatabase database;
    return database;
}

void ScriptedDatabase::Reset() {
    calls.clear();
    objectsCreated = objectsDestroyed = 0;
    lastReturnedError = CRwError();
    for (int i = 0; i < kDatabaseOpCount; ++i) {
        m_faults[i].clear();
        m_counts[i] = 0;
    }
}

void ScriptedDatabase::FailNth(DatabaseOp op, int n, const std::string& message) {
    const int index = static_cast<int>(op);
    m_faults[index].push_back(Fault{m_counts[index] + n, message});
}

int ScriptedDatabase::CallCount(DatabaseOp op) const {
    int count = 0;
    for (const DatabaseCall& call : calls) count += call.op == op;
    return count;
}

std::vector<std::string> ScriptedDatabase::OpSequence() const {
    std::vector<std::string> names;
    for (const DatabaseCall& call : calls) names.push_back(DatabaseOpName(call.op));
    return names;
}

std::vector<std::string> ScriptedDatabase::InsertedPaths() const {
    std::vector<std::string> paths;
    for (const DatabaseCall& call : calls)
        if (call.op == DatabaseOp::InsertEvent) paths.push_back(call.path);
    return paths;
}

bool ScriptedDatabase::NextCall(DatabaseOp op, std::string& message) {
    const int index = static_cast<int>(op);
    const int64_t call = ++m_counts[index];
    for (const Fault& fault : m_faults[index]) {
        if (fault.call == call) {
            message = fault.message;
            return true;
        }
    }
    return false;
}

}  // namespace snapscan_test
