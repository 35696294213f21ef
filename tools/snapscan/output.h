#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Records.h"

namespace snapscan {

// Where the CLI's results go: one record per line on `out`, either as readable
// text or as a JSON object (JSON lines). Progress and failure texts go to `err`
// in both modes, so that a consumer of the JSON stream never has to filter them.
class Output {
public:
    Output(std::ostream& out, std::ostream& err, bool json) : m_out(out), m_err(err), m_json(json) {}

    bool Json() const { return m_json; }

    // One result record: `record` in JSON mode, `text` (one line, no newline) otherwise.
    void Emit(const nlohmann::json& record, const std::string& text);

    // A line of text mode only (JSON mode has a record for it elsewhere).
    void Say(const std::string& text) {
        if (!m_json) Emit({}, text);
    }

    // A progress line on the error stream, in both modes.
    void Progress(const std::string& text);

    // A failure: "snapscan: <phase> failed: <text>" on the error stream and, in
    // JSON mode, an {"event":"error"} record with the phase, the text, the
    // one-line cause and the code (when a plug-in call failed) on the output
    // stream. The first failure is kept for the closing "done" record.
    void Error(const std::string& phase, const std::string& text, const std::string& cause = "",
               uint32_t code = 0);

    // The closing record of a command: {"event":"done","status":N, ...fields},
    // with the code and cause of the first failure when there was one. JSON
    // mode only; text mode prints its own closing line. Only the first call
    // writes, so a caller may close whatever its callee closed already.
    void Done(int status, nlohmann::json fields = nlohmann::json::object());

    bool Failed() const { return m_failed; }

private:
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_json;
    bool m_failed = false;
    bool m_done = false;
    std::string m_failedPhase;
    std::string m_failedCause;
    uint32_t m_failedCode = 0;
};

// `text` with control bytes, DEL and backslash written as \xNN escapes, so
// that a name from the array can never break or forge an output line.
std::string EscapeControl(const std::string& text);

// Whether `text` is well-formed UTF-8.
bool IsUtf8(const std::string& text);

// The plug-in's failure texts are fixed, and some only say that the array could
// not be reached; the error lines it logged meanwhile say why (certificate
// refused, login refused, credentials file refused). CaptureLoggedErrors puts a
// writer in front of the installed log writer that keeps the last error line;
// TakeLoggedError returns it ("" when none was written) and forgets it.
void CaptureLoggedErrors();
std::string TakeLoggedError();
// Every error line logged since the last call (the newest few hundred).
std::vector<std::string> TakeLoggedErrors();

// The name of a compare item kind: "changed", "renamed", "removed", "end", "error".
const char* ItemKindName(int32_t kind);

// An item as a JSON record and as a text line, for `share`. Paths are byte
// strings: one that is not UTF-8 is shown in "path" with U+FFFD for each bad
// byte, and exactly, as lowercase hex of its bytes, in "pathHex" (likewise
// "oldPathHex"). Text lines escape control bytes (EscapeControl).
nlohmann::json ItemRecord(const std::string& share, const FileServerSnapshotCompareItem& item);
std::string ItemText(const FileServerSnapshotCompareItem& item);

}  // namespace snapscan
