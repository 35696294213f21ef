#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Records.h"
#include "tools/snapscan/batch_writer.h"
#include "tools/snapscan/page_cache.h"

namespace snapscan {

// How much the text mode says.
enum class Verbosity {
    kQuiet,    // problems and the one-line summary only (what cron mails)
    kNormal,   // per-share lines and the summary
    kVerbose,  // and, with a failure, the plug-in's whole failure text with its trail
};

// The current time as UTC RFC 3339 with milliseconds, appended to a string, for
// one record after another: the date and time of day are formatted again only
// when the second changes.
class UtcStamps {
public:
    void Append(std::string& out);

private:
    int64_t m_second = -1;
    char m_prefix[32] = {};
    size_t m_prefixLength = 0;
};

// Where the CLI's results go: one record per line on `out`, either as readable
// text or as a JSON object (JSON lines, each with its "time", UTC RFC 3339).
// Failure texts (and progress in text mode) go to `err`, so that a consumer of
// the JSON stream never has to filter them. Safe to use from the progress
// thread and the job's thread at once.
class Output {
public:
    // `outFd`, when given, is the descriptor behind `out`: a listing written to a
    // regular file lets go of its page cache as it goes, once it is larger than
    // kListingLeftToKernel. The job never syncs it, so a smaller one is left to
    // the kernel: sent to the disk early, it would make the job's next sync of
    // its own state wait for the disk.
    static constexpr uint64_t kListingLeftToKernel = uint64_t{1} << 30;
    Output(std::ostream& out, std::ostream& err, bool json,
           Verbosity verbosity = Verbosity::kNormal, int outFd = -1)
        : m_out(out),
          m_err(err),
          m_json(json),
          m_verbosity(verbosity),
          m_outPages(outFd, kListingLeftToKernel) {}

    bool Json() const { return m_json; }
    bool Quiet() const { return m_verbosity == Verbosity::kQuiet; }

    // One result record: `record` in JSON mode, `text` (one line, no newline)
    // otherwise, unless quiet.
    void Emit(const nlohmann::json& record, const std::string& text);

    // A record that reports a problem: as Emit, but its text is shown when quiet too.
    void Problem(const nlohmann::json& record, const std::string& text);

    // A line of text mode only (JSON mode has a record for it elsewhere), unless quiet.
    void Say(const std::string& text) {
        if (!m_json) Emit({}, text);
    }

    // A line of text mode only that is shown when quiet too.
    void SayAlways(const std::string& text) {
        if (!m_json) Problem({}, text);
    }

    // The closing line of a command in text mode, shown when quiet too: what
    // cron mails. Done() writes one for a failure when none was written.
    void SayClosing(const std::string& text) {
        m_closed = true;
        SayAlways(text);
    }

    // Text on the error stream, in both modes; `newline` false for a terminal
    // line rewritten in place.
    void Progress(const std::string& text, bool newline = true);

    // A failure. On the error stream, first one line "snapscan: <phase> failed:
    // <cause>"; then, for a plug-in call, "  code <code>: <message>"; with
    // --verbose also the whole failure text (`detail`, with its trail of source
    // locations). In JSON mode an {"event":"error"} record with the phase, the
    // cause, the message, the detail and the code. The first failure is kept for
    // the closing "done" record.
    void Error(const std::string& phase, const std::string& detail, const std::string& cause = "",
               uint32_t code = 0, const std::string& message = "");

    // The closing record of a command: {"event":"done","status":N, ...fields},
    // with the code and cause of the first failure when there was one. In text
    // mode, a closing line for a failure that has none yet. Only the first call
    // writes, so a caller may close whatever its callee closed already.
    // The standard output is checked first: when anything written to it was lost (a full
    // disk, a closed file), that is said on the error stream and OutputLost() turns true.
    void Done(int status, nlohmann::json fields = nlohmann::json::object());

    // Whether records or items written to the standard output were lost: a listing the
    // operator reads from it is then incomplete, and the run must not exit 0.
    bool OutputLost();

    bool Failed() const { return m_failed; }

    // One compare item of `share`: ItemRecord in JSON mode, ItemText otherwise (unless quiet),
    // byte for byte as Emit(ItemRecord(...), ItemText(...)) would write them, but formatted
    // without a JSON tree and written in batches: the stream is flushed when a batch is full,
    // when a batch has waited long enough, and before any other record, progress or failure
    // text.
    void EmitItem(const std::string& share, const FileServerSnapshotCompareItem& item);

    // Writes out the items held back by EmitItem.
    void Flush();

    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

private:
    void Write(const nlohmann::json& record, const std::string& text, bool always);
    void WritePending();

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_json;
    Verbosity m_verbosity;
    std::recursive_mutex m_mutex;
    bool m_failed = false;
    bool m_done = false;
    bool m_closed = false;
    bool m_outputLost = false;
    std::string m_failedPhase;
    std::string m_failedCause;
    uint32_t m_failedCode = 0;
    UtcStamps m_timestamps;
    std::string m_pending;  // items not yet written to `out`
    std::string m_time;
    int64_t m_pendingSince = 0;   // coarse monotonic milliseconds of the first pending item
    PageCacheRelease m_outPages;  // used by the batch writer's thread only

    // Full batches of items go to the file from a thread of their own; anything
    // else written to `out` waits until they are out. Declared last: it goes
    // first, writing what still waits while the stream is there.
    BatchWriter m_batches{[this](const std::string& batch) {
        // A failure stays in the stream's state, which OutputLost reads.
        m_out.write(batch.data(), static_cast<std::streamsize>(batch.size()));
        m_out.flush();
        m_outPages.Wrote(batch.size());
        // The file's write-back failed: what it holds is not what was listed.
        if (m_outPages.Error() != 0) m_out.setstate(std::ios::badbit);
    }};
};

// `text` with control bytes, DEL and backslash written as \xNN escapes, so
// that a name from the array can never break or forge an output line.
std::string EscapeControl(const std::string& text);
void AppendEscapedControl(std::string& out, const std::string& text);

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
// Hands every line logged from now on (any level, as written) to `observer`
// as well; an empty function stops it. For the progress display.
void ObserveLoggedLines(std::function<void(const std::string&)> observer);

// The current time as UTC RFC 3339 with milliseconds ("2026-12-10T14:30:00.123Z").
std::string UtcTimestamp();

// The name of a compare item kind: "changed", "renamed", "removed", "end", "error".
const char* ItemKindName(int32_t kind);

// An item as a JSON record and as a text line, for `share`. Paths are byte
// strings: one that is not UTF-8 is shown in "path" with U+FFFD for each bad
// byte, and exactly, as lowercase hex of its bytes, in "pathHex" (likewise
// "oldPathHex"). Text lines escape control bytes (EscapeControl).
nlohmann::json ItemRecord(const std::string& share, const FileServerSnapshotCompareItem& item);
std::string ItemText(const FileServerSnapshotCompareItem& item);
void AppendItemText(std::string& out, const FileServerSnapshotCompareItem& item);

// ItemRecord with `time` as dump(-1, ' ', false, replace) writes it, and a newline, appended to
// `out`. Written directly for UTF-8 names; a name that is not UTF-8 goes through the JSON
// library, which replaces its bad bytes.
void AppendItemJsonLine(std::string& out, const std::string& share,
                        const FileServerSnapshotCompareItem& item, const std::string& time);

}  // namespace snapscan
