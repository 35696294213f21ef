#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

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

    // A progress line on the error stream, in both modes.
    void Progress(const std::string& text);

    // A failure: "snapscan: <text>" on the error stream and, in JSON mode, an
    // {"event":"error"} record on the output stream.
    void Error(const std::string& phase, const std::string& text);

private:
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_json;
};

// The plug-in's failure texts are fixed, and some only say that the array could
// not be reached; the error lines it logged meanwhile say why (certificate
// refused, login refused, credentials file refused). CaptureLoggedErrors puts a
// writer in front of the installed log writer that keeps the last error line;
// TakeLoggedError returns it ("" when none was written) and forgets it.
void CaptureLoggedErrors();
std::string TakeLoggedError();

// The name of a compare item kind: "changed", "renamed", "removed", "end", "error".
const char* ItemKindName(int32_t kind);

// An item as a JSON record and as a text line, for `share`.
nlohmann::json ItemRecord(const std::string& share, const FileServerSnapshotCompareItem& item);
std::string ItemText(const FileServerSnapshotCompareItem& item);

}  // namespace snapscan
