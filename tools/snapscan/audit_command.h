#pragma once

#include <cstdint>
#include <string>

#include "tools/snapscan/audit.h"
#include "tools/snapscan/output.h"

namespace snapscan {

struct AuditCommand {
    uint32_t clientId = 0;
    uint32_t subclientId = 0;
    std::string share;        // the share's local path; its snapshots are below <share>/.snapshot
    std::string stateDir;     // where the content's job ids are kept
    std::string baseName;     // both or neither: the snapshots to compare
    std::string currentName;  // (default: the last job's and the one it compared against)
    std::string changesFile;  // the items a job delivered (JSON lines); "": the array's changelist
    double samplePercent = 100;
    uint64_t seed = 0;
    unsigned threads = 4;
    double waitSeconds = 600;  // for the array to build the changelist
    Identity identity = Identity::kAuto;
    std::string metricsFile;  // "": none; else the audit's own textfile-collector file
};

// `snapscan audit`: chooses the snapshot pair, reads the listed changes (the
// array's changelist for the pair, or a file of delivered items), runs the
// audit and reports it. Read-only: takes no lock and changes nothing on the
// array but what asking for a changelist needs. kExitFailed when a change was
// missed, when a place could not be checked, or when the audit could not run;
// spurious changes alone exit kExitOk with a warning (they cost backup time,
// they lose nothing). `result`, when given, receives the audit's outcome.
int RunAuditCommand(const AuditCommand& command, Output& out, AuditResult* result = nullptr);

// Writes the audit's outcome to command.metricsFile (atomically, the Prometheus
// text format), labelled by client, subclient and share: the exit status, the
// end time, and, when the audit ran (`result`), the missed and spurious
// changes, the places not checked, the entries walked and the share of the
// directories walked. A file that cannot be written is a warning: the audit's
// exit status stays what the audit found.
void WriteAuditMetrics(const AuditCommand& command, int exitStatus, const AuditResult* result,
                       Output& out);

}  // namespace snapscan
