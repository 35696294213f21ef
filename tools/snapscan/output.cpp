#include "tools/snapscan/output.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <ostream>
#include <sstream>
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
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool IsUtf8(const std::string& text) {
    size_t i = 0;
    const size_t size = text.size();
    while (i < size) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
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
            return false;
        if (i + length > size) return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            point = (point << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
        if ((length == 3 && point < 0x800) ||
            (length == 4 && (point < 0x10000 || point > 0x10ffff)) ||
            (point >= 0xd800 && point <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

void Output::Write(const nlohmann::json& record, const std::string& text, bool always) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_json) {
        if (record.is_null()) return;
        nlohmann::json stamped = record;
        stamped["time"] = UtcTimestamp();
        // Paths are byte strings: a name that is not valid UTF-8 must not end the
        // run, so invalid bytes are replaced (items carry the exact bytes in hex).
        m_out << stamped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        if (Quiet() && !always) return;
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
    m_err << text;
    if (newline) m_err << '\n';
    m_err.flush();
}

void Output::Error(const std::string& phase, const std::string& detail, const std::string& cause,
                   uint32_t code, const std::string& message) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
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
    std::ostringstream line;
    line << "  " << ItemKindName(item.type) << ' ' << EscapeControl(item.path);
    if (!item.oldPath.empty()) line << " (was " << EscapeControl(item.oldPath) << ')';
    line << "  inode=" << item.info.inode << " size=" << item.info.size
         << " mtime=" << item.info.modifiedTime << " ctime=" << item.info.changeTime
         << " atime=" << item.info.accessTime;
    return line.str();
}

}  // namespace snapscan
