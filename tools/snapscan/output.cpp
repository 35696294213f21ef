#include "tools/snapscan/output.h"

#include <cstdarg>
#include <cstdio>
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
    explicit ErrorLineRecorder(boost::shared_ptr<CLogWriterInterface> next) : m_next(std::move(next)) {}

    void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format,
               ...) override __attribute__((format(printf, 7, 8))) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        const int size = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
        if (size > 0) std::vsnprintf(text.data(), text.size(), format, again);
        va_end(again);
        if (level < 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_last.assign(text.data());
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

private:
    boost::shared_ptr<CLogWriterInterface> m_next;
    std::mutex m_mutex;
    std::string m_last;
};

boost::shared_ptr<ErrorLineRecorder> g_recorder;

}  // namespace

void CaptureLoggedErrors() {
    if (g_recorder || !g_ptrLogWriter) return;
    g_recorder = boost::make_shared<ErrorLineRecorder>(g_ptrLogWriter);
    g_ptrLogWriter = g_recorder;
}

std::string TakeLoggedError() { return g_recorder ? g_recorder->Take() : std::string(); }

void Output::Emit(const nlohmann::json& record, const std::string& text) {
    if (m_json) {
        // Paths are byte strings: a name that is not valid UTF-8 must not end the
        // run, so invalid bytes are replaced instead of throwing.
        m_out << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        m_out << text << '\n';
    }
    m_out.flush();
}

void Output::Progress(const std::string& text) {
    m_err << text << '\n';
    m_err.flush();
}

void Output::Error(const std::string& phase, const std::string& text) {
    m_err << "snapscan: " << phase << " failed: " << text << '\n';
    m_err.flush();
    if (m_json) Emit({{"event", "error"}, {"phase", phase}, {"message", text}}, "");
}

const char* ItemKindName(int32_t kind) {
    switch (kind) {
        case 2: return "changed";
        case 3: return "renamed";
        case 4: return "removed";
        case 5: return "end";
        case 6: return "error";
        default: return "unknown";
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
    return record;
}

std::string ItemText(const FileServerSnapshotCompareItem& item) {
    std::ostringstream line;
    line << "  " << ItemKindName(item.type) << ' ' << item.path;
    if (!item.oldPath.empty()) line << " (was " << item.oldPath << ')';
    line << "  inode=" << item.info.inode << " size=" << item.info.size
         << " mtime=" << item.info.modifiedTime << " ctime=" << item.info.changeTime
         << " atime=" << item.info.accessTime;
    return line.str();
}

}  // namespace snapscan
