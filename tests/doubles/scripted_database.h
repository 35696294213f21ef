#pragma once

// The process-wide script behind the test double of CSnapDiffEventMonitor: an
// in-memory database that behaves as the header promises (one row per inode,
// duplicates reported, renames joined, rows read in ascending inode order, a
// failure kept and repeated by every later call), plus countdown faults per
// operation, the way ScriptedArray scripts the array client.
//
// FailNth(op, n, message) fails the n-th call of op counted from now: the call
// returns ErrorWin32(1627, message) (GetNextEvent returns -1) and the database
// stays failed. Construct throws std::bad_alloc from the constructor.

#include <cstdint>
#include <string>
#include <vector>

#include "common/CRwError.h"

namespace snapscan_test {

enum class DatabaseOp {
    Construct,
    Create,
    InsertEvent,
    UpdateRenameEvent,
    PrepareSelectQuery,
    GetNextEvent,
};
constexpr int kDatabaseOpCount = 6;

const char* DatabaseOpName(DatabaseOp op);

// One call the client made: the row's inode and path for InsertEvent and
// UpdateRenameEvent, nothing for the others.
struct DatabaseCall {
    DatabaseOp op;
    int64_t inode = 0;
    std::string path;
    bool failed = false;
};

class ScriptedDatabase {
public:
    static ScriptedDatabase& Get();

    // No faults, no calls, counters 0.
    void Reset();

    void FailNth(DatabaseOp op, int n, const std::string& message);

    std::vector<DatabaseCall> calls;
    int objectsCreated = 0;
    int objectsDestroyed = 0;
    // The last failure a call handed out, to check that the client passes it on.
    CRwError lastReturnedError;

    int CallCount(DatabaseOp op) const;
    // Every operation name in call order.
    std::vector<std::string> OpSequence() const;
    // Paths given to InsertEvent, in call order.
    std::vector<std::string> InsertedPaths() const;

    // --- used by the double ------------------------------------------------
    // Counts one call of op; true with the message when it is to fail.
    bool NextCall(DatabaseOp op, std::string& message);

private:
    ScriptedDatabase() = default;

    struct Fault {
        int64_t call;  // 1-based since Reset
        std::string message;
    };
    std::vector<Fault> m_faults[kDatabaseOpCount];
    int64_t m_counts[kDatabaseOpCount] = {};
};

}  // namespace snapscan_test
