#include "tools/snapscan/output.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "host/LogWriter.h"

namespace snapscan {

namespace {

class ErrorLineRecorder final : public CLogWriterInterface {
public:
    explicit ErrorLineRecorder(boost::shared_ptr<CLogWriterInterface> next)
        : m_next(std::move(next)) {}

    void Write(int level, const char* function, int line, int reserved1, int reserved2,
               const char* format, ...) override __attribute__((format(printf, 7, 8))) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        const int size = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
        if (size > 0) std::vsnprintf(text.data(), text.size(), format, again);
        va_end(again);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_observer) m_observer(text.data());
        }
        if (level < 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_last.assign(text.data());
            if (m_all.size() == kKeptLines) m_all.erase(m_all.begin());
            m_all.push_back(m_last);
        }
        m_next->Write(level, function, line, reserved1, reserved2, "%s", text.data());
    }

    int GetLevel() override { return m_next->GetLevel(); }

    std::string Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string last;
        last.swap(m_last);
        return last;
    }

    std::vector<std::string> TakeAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> all;
        all.swap(m_all);
        m_last.clear();
        return all;
    }

    void Observe(std::function<void(const std::string&)> observer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_observer = std::move(observer);
    }

private:
    static constexpr size_t kKeptLines = 256;

    boost::shared_ptr<CLogWriterInterface> m_next;
    std::mutex m_mutex;
    std::string m_last;
    std::vector<std::string> m_all;
    std::function<void(const std::string&)> m_observer;
};

boost::shared_ptr<ErrorLineRecorder> g_recorder;

std::string Hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

}  // namespace

void CaptureLoggedErrors() {
    if (g_recorder || !g_ptrLogWriter) return;
    g_recorder = boost::make_shared<ErrorLineRecorder>(g_ptrLogWriter);
    g_ptrLogWriter = g_recorder;
}

std::string TakeLoggedError() { return g_recorder ? g_recorder->Take() : std::string(); }

std::vector<std::string> TakeLoggedErrors() {
    return g_recorder ? g_recorder->TakeAll() : std::vector<std::string>();
}

void ObserveLoggedLines(std::function<void(const std::string&)> observer) {
    if (g_recorder) g_recorder->Observe(std::move(observer));
}

std::string UtcTimestamp() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000L);
    return text;
}

std::string EscapeControl(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    AppendEscapedControl(escaped, text);
    return escaped;
}

namespace {

// Names are escaped for every item, so runs of bytes that need no escaping are
// passed over eight at a time. These are the classic tests for "some byte of the
// word is below n" (n at most 128) and "some byte is b", exact for any bytes.
constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

bool HasByteBelow(uint64_t word, uint64_t n) {
    return ((word - kEveryByte * n) & ~word & kHighBits) != 0;
}

bool HasByte(uint64_t word, unsigned char b) { return HasByteBelow(word ^ (kEveryByte * b), 1); }

uint64_t WordAt(const std::string& text, size_t i) {
    uint64_t word;
    memcpy(&word, text.data() + i, sizeof word);
    return word;
}

// Bytes a text line shows as they are: neither control bytes, DEL nor backslash.
bool PlainTextWord(uint64_t word) {
    return !HasByteBelow(word, 0x20) && !HasByte(word, 0x7f) && !HasByte(word, '\\');
}

// Bytes a JSON string holds as they are: ASCII, not control bytes, neither quote
// nor backslash.
bool PlainJsonWord(uint64_t word) {
    return (word & kHighBits) == 0 && !HasByteBelow(word, 0x20) && !HasByte(word, '"') &&
           !HasByte(word, '\\');
}

}  // namespace

void AppendEscapedControl(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    size_t plain = 0;  // start of the run of bytes copied as they are
    size_t i = 0;
    while (i < text.size()) {
        while (i + 8 <= text.size() && PlainTextWord(WordAt(text, i))) i += 8;
        if (i >= text.size()) break;
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
            ++i;
            continue;
        }
        out.append(text, plain, i - plain);
        plain = ++i;
        const char escape[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escape, 4);
    }
    out.append(text, plain, text.size() - plain);
}

namespace {

// The length of the multi-byte UTF-8 sequence that starts at text[i] (a byte of 0x80 or more);
// 0 when none does.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t point = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        point = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        point = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        point = lead & 0x07;
    } else
        return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) return 0;
        point = (point << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
    if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10ffff)) ||
        (point >= 0xd800 && point <= 0xdfff))
        return 0;
    return length;
}

}  // namespace

bool IsUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

namespace {

// Milliseconds of the monotonic clock as of the last timer tick: a few ns to read
// against about 25 for the exact clock, and fine enough for a wait of 200 ms. It
// is read for every item.
int64_t CoarseMillis() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void UtcStamps::Append(std::string& out) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != m_second) {
        struct tm utc;
        gmtime_r(&now.tv_sec, &utc);
        m_prefixLength = std::strftime(m_prefix, sizeof m_prefix, "%Y-%m-%dT%H:%M:%S", &utc);
        m_second = now.tv_sec;
    }
    out.append(m_prefix, m_prefixLength);
    const long millis = now.tv_nsec / 1000000L;
    const char fraction[5] = {'.', static_cast<char>('0' + millis / 100),
                              static_cast<char>('0' + millis / 10 % 10),
                              static_cast<char>('0' + millis % 10), 'Z'};
    out.append(fraction, sizeof fraction);
}

void Output::EmitItem(const std::string& share, const FileServerSnapshotCompareItem& item) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_json && Quiet()) return;
    if (m_pending.empty()) m_pendingSince = CoarseMillis();
    if (m_json) {
        m_time.clear();
        m_timestamps.Append(m_time);
        AppendItemJsonLine(m_pending, share, item, m_time);
    } else {
        AppendItemText(m_pending, item);
        m_pending += '\n';
    }
    // Batches bound both the write calls per item and how long a reader of the stream waits.
    constexpr size_t kBatchBytes = 64 * 1024;
    constexpr int64_t kBatchWaitMillis = 200;
    if (m_pending.size() >= kBatchBytes || CoarseMillis() - m_pendingSince >= kBatchWaitMillis)
        m_batches.HandOff(m_pending);
}

Output::~Output() { Flush(); }

void Output::WritePending() {
    m_batches.Drain();
    if (m_pending.empty()) return;
    m_out.write(m_pending.data(), static_cast<std::streamsize>(m_pending.size()));
    m_pending.clear();
}

void Output::Flush() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    WritePending();
    m_out.flush();
}

void Output::Write(const nlohmann::json& record, const std::string& text, bool always) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    WritePending();
    if (m_json) {
        if (record.is_null()) {
            m_out.flush();
            return;
        }
        nlohmann::json stamped = record;
        std::string time;
        m_timestamps.Append(time);
        stamped["time"] = time;
        // Paths are byte strings: a name that is not valid UTF-8 must not end the
        // run, so invalid bytes are replaced (items carry the exact bytes in hex).
        m_out << stamped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else if (!Quiet() || always) {
        m_out << text << '\n';
    }
    m_out.flush();
}

void Output::Emit(const nlohmann::json& record, const std::string& text) {
    Write(record, text, false);
}

void Output::Problem(const nlohmann::json& record, const std::string& text) {
    Write(record, text, true);
}

void Output::Progress(const std::string& text, bool newline) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // On a shared terminal, lines on the error stream come after the items written before them.
    Flush();
    m_err << text;
    if (newline) m_err << '\n';
    m_err.flush();
}

void Output::Error(const std::string& phase, const std::string& detail, const std::string& cause,
                   uint32_t code, const std::string& message) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Flush();
    const std::string oneLine = EscapeControl(cause.empty() ? detail : cause);
    m_err << "snapscan: " << phase << " failed: " << oneLine << '\n';
    if (code != 0) m_err << "  code " << code << ": " << EscapeControl(message) << '\n';
    if (m_verbosity == Verbosity::kVerbose && detail != oneLine)
        m_err << "  " << EscapeControl(detail) << '\n';
    m_err.flush();
    if (!m_failed) {
        m_failed = true;
        m_failedPhase = phase;
        m_failedCause = oneLine;
        m_failedCode = code;
    }
    if (!m_json) return;
    nlohmann::json record = {
        {"event", "error"}, {"phase", phase}, {"cause", oneLine}, {"message", detail}};
    if (code != 0) {
        record["code"] = code;
        record["pluginMessage"] = message;
    }
    Emit(record, "");
}

void Output::Done(int status, nlohmann::json fields) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_done) return;
    m_done = true;
    if (OutputLost()) {
        m_err << "snapscan: writing the standard output failed: what it lists is incomplete\n";
        m_err.flush();
        return;  // neither a closing record nor a closing line would arrive
    }
    if (!m_json) {
        if (status != 0 && !m_closed)
            SayClosing("snapscan: failed (exit " + std::to_string(status) + ")" +
                       (m_failed ? ": " + m_failedPhase + ": " + m_failedCause : std::string()));
        return;
    }
    nlohmann::json record = {{"event", "done"}, {"status", status}};
    for (auto& [key, value] : fields.items()) record[key] = value;
    if (m_failed) {
        record["phase"] = m_failedPhase;
        record["cause"] = m_failedCause;
        if (m_failedCode != 0) record["code"] = m_failedCode;
    }
    Emit(record, "");
}

bool Output::OutputLost() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Flush();
    if (m_out.fail()) m_outputLost = true;
    return m_outputLost;
}

const char* ItemKindName(int32_t kind) {
    switch (kind) {
        case 2:
            return "changed";
        case 3:
            return "renamed";
        case 4:
            return "removed";
        case 5:
            return "end";
        case 6:
            return "error";
        default:
            return "unknown";
    }
}

nlohmann::json ItemRecord(const std::string& share, const FileServerSnapshotCompareItem& item) {
    nlohmann::json record = {
        {"event", "item"},
        {"share", share},
        {"kind", item.type},
        {"kindName", ItemKindName(item.type)},
        {"path", item.path},
        {"inode", item.info.inode},
        {"mode", item.info.mode},
        {"size", item.info.size},
        {"atime", item.info.accessTime},
        {"mtime", item.info.modifiedTime},
        {"ctime", item.info.changeTime},
    };
    if (!item.oldPath.empty()) record["oldPath"] = item.oldPath;
    if (!IsUtf8(item.path)) record["pathHex"] = Hex(item.path);
    if (!item.oldPath.empty() && !IsUtf8(item.oldPath)) record["oldPathHex"] = Hex(item.oldPath);
    return record;
}

std::string ItemText(const FileServerSnapshotCompareItem& item) {
    std::string line;
    AppendItemText(line, item);
    return line;
}

namespace {

// The decimal digits of a number at `at`, which has room for 21 bytes; the end of them.
template <typename Number>
char* PutNumber(char* at, Number value) {
    static_assert(sizeof(Number) <= 8, "at most 20 digits and a sign");
    return std::to_chars(at, at + 21, value).ptr;
}

// A literal's bytes at `at`, without its NUL; the end of them.
template <size_t N>
char* Put(char* at, const char (&text)[N]) {
    memcpy(at, text, N - 1);
    return at + N - 1;
}

template <typename Number>
void AppendNumber(std::string& out, Number value) {
    char digits[24];
    out.append(digits, static_cast<size_t>(PutNumber(digits, value) - digits));
}

// A JSON string of UTF-8 text, escaped as the JSON library's dump escapes it (ensure_ascii off):
// quote, backslash and the short forms of five control bytes, \u00xx for the others. False
// when the text is not UTF-8 (and `out` then ends with part of it); checked in the same pass.
// Runs of plain bytes are passed over eight at a time: this runs for the paths of every item.
bool AppendJsonString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run of bytes copied as they are
    size_t i = 0;
    while (i < text.size()) {
        while (i + 8 <= text.size() && PlainJsonWord(WordAt(text, i))) i += 8;
        if (i >= text.size()) break;
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length == 0) return false;
            i += length;
            continue;
        }
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            ++i;
            continue;
        }
        out.append(text, plain, i - plain);
        plain = ++i;
        switch (byte) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default: {
                const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
                out.append(escape, 6);
            }
        }
    }
    out.append(text, plain, text.size() - plain);
    out += '"';
    return true;
}

}  // namespace

void AppendItemText(std::string& out, const FileServerSnapshotCompareItem& item) {
    out.append("  ");
    out.append(ItemKindName(item.type));
    out += ' ';
    AppendEscapedControl(out, item.path);
    if (!item.oldPath.empty()) {
        out.append(" (was ");
        AppendEscapedControl(out, item.oldPath);
        out += ')';
    }
    out.append("  inode=");
    AppendNumber(out, item.info.inode);
    out.append(" size=");
    AppendNumber(out, item.info.size);
    out.append(" mtime=");
    AppendNumber(out, item.info.modifiedTime);
    out.append(" ctime=");
    AppendNumber(out, item.info.changeTime);
    out.append(" atime=");
    AppendNumber(out, item.info.accessTime);
}

void AppendItemJsonLine(std::string& out, const std::string& share,
                        const FileServerSnapshotCompareItem& item, const std::string& time) {
    const size_t start = out.size();
    // The keys in the order of the JSON library's objects, which sort them. The fields up to
    // the first path are put together here and appended at once: this runs for every item.
    char head[256];  // the keys below, a kind name and six numbers of at most 20 digits
    char* at = head;
    // The three times are often equal: their digits are then written once and copied.
    at = Put(at, "{\"atime\":");
    char* const accessDigits = at;
    at = PutNumber(at, item.info.accessTime);
    const size_t accessLength = static_cast<size_t>(at - accessDigits);
    const auto putTime = [&](char* where, uint64_t seconds) {
        if (seconds != item.info.accessTime) return PutNumber(where, seconds);
        memcpy(where, accessDigits, accessLength);
        return where + accessLength;
    };
    at = Put(at, ",\"ctime\":");
    at = putTime(at, item.info.changeTime);
    at = Put(at, ",\"event\":\"item\",\"inode\":");
    at = PutNumber(at, item.info.inode);
    at = Put(at, ",\"kind\":");
    at = PutNumber(at, static_cast<int64_t>(item.type));
    at = Put(at, ",\"kindName\":\"");
    const char* kindName = ItemKindName(item.type);
    const size_t kindLength = strlen(kindName);
    memcpy(at, kindName, kindLength);
    at += kindLength;
    at = Put(at, "\",\"mode\":");
    at = PutNumber(at, static_cast<uint64_t>(item.info.mode));
    at = Put(at, ",\"mtime\":");
    at = putTime(at, item.info.modifiedTime);
    out.append(head, static_cast<size_t>(at - head));
    bool utf8 = true;
    if (!item.oldPath.empty()) {
        out.append(",\"oldPath\":");
        utf8 = AppendJsonString(out, item.oldPath);
    }
    if (utf8) {
        out.append(",\"path\":");
        utf8 = AppendJsonString(out, item.path);
    }
    if (utf8) {
        out.append(",\"share\":");
        utf8 = AppendJsonString(out, share);
    }
    if (utf8) {
        at = Put(head, ",\"size\":");
        at = PutNumber(at, item.info.size);
        at = Put(at, ",\"time\":");
        out.append(head, static_cast<size_t>(at - head));
        utf8 = AppendJsonString(out, time);
    }
    if (!utf8) {
        // A name that is not UTF-8: the JSON library replaces its bad bytes.
        out.resize(start);
        nlohmann::json stamped = ItemRecord(share, item);
        stamped["time"] = time;
        out += stamped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        out += '\n';
        return;
    }
    out.append("}\n");
}

}  // namespace snapscan
