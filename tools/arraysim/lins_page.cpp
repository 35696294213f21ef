#include "tools/arraysim/lins_page.h"

#include "tools/arraysim/json_bytes.h"

#include <charconv>

namespace arraysim {

namespace {

void AppendNumber(std::string& out, int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendUnsigned(std::string& out, uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendTime(std::string& out, const char* key, const FileTime& time) {
    out.append(",\"").append(key).append("\":{\"sec\":");
    AppendNumber(out, time.sec);
    out.append(",\"nsec\":");
    AppendNumber(out, time.nsec);
    out.push_back('}');
}

}  // namespace

std::string LinsPageJson(const std::vector<ChangeEntry>& entries, const std::string& resume,
                         uint64_t total) {
    std::string out;
    out.reserve(64 + entries.size() * 200);
    out.append("{\"lins\":[");
    for (size_t i = 0; i < entries.size(); ++i) {
        const ChangeEntry& e = entries[i];
        if (i != 0) out.push_back(',');
        out.append("{\"id\":\"");
        AppendUnsigned(out, e.id);
        out.append("\",\"path\":");
        AppendJsonString(out, e.path);
        out.append(",\"type\":");
        AppendJsonString(out, e.type);
        out.append(",\"size\":");
        AppendNumber(out, e.size);
        AppendTime(out, "atime", e.atime);
        AppendTime(out, "ctime", e.ctime);
        AppendTime(out, "mtime", e.mtime);
        out.push_back('}');
    }
    out.append("],\"resume\":");
    if (resume.empty())
        out.append("null");
    else
        AppendJsonString(out, resume);
    out.append(",\"total\":");
    AppendUnsigned(out, total);
    out.push_back('}');
    return out;
}

}  // namespace arraysim
