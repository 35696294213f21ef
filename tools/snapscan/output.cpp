#include "tools/snapscan/output.h"

#include <ostream>
#include <sstream>

namespace snapscan {

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
