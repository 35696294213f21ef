#include "tools/arraysim/lins_page.h"

#include "tools/arraysim/json_bytes.h"

#include <algorithm>
#include <charconv>

namespace arraysim {

namespace {

void AppendUnsignedText(std::string& out, uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendSignedText(std::string& out, int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendTime(std::string& out, const char* key, const FileTime& time) {
    out.append(",\"").append(key).append("\":{\"sec\":");
    AppendSignedText(out, time.sec);
    out.append(",\"nsec\":");
    AppendSignedText(out, time.nsec);
    out.push_back('}');
}

void AppendTimesJson(std::string& out, const FileTime& atime, const FileTime& ctime,
                     const FileTime& mtime) {
    AppendTime(out, "atime", atime);
    AppendTime(out, "ctime", ctime);
    AppendTime(out, "mtime", mtime);
}

void AppendPageStart(std::string& out) { out.append("{\"lins\":["); }

void AppendPageEnd(std::string& out, const std::string& resume, uint64_t total) {
    out.append("],\"resume\":");
    if (resume.empty())
        out.append("null");
    else
        AppendJsonString(out, resume);
    out.append(",\"total\":");
    AppendUnsignedText(out, total);
    out.push_back('}');
}

// Room for a page of typical entries, so that the text is not copied as it grows.
constexpr size_t kEntryBytes = 200;

}  // namespace

void AppendEntryJson(std::string& out, const ChangeEntry& e) {
    out.append("{\"id\":\"");
    AppendUnsignedText(out, e.id);
    out.append("\",\"path\":");
    AppendJsonString(out, e.path);
    out.append(",\"type\":");
    AppendJsonString(out, e.type);
    out.append(",\"size\":");
    AppendSignedText(out, e.size);
    AppendTimesJson(out, e.atime, e.ctime, e.mtime);
    out.push_back('}');
}

std::string LinsPageJson(const std::vector<ChangeEntry>& entries, const std::string& resume,
                         uint64_t total) {
    std::string out;
    out.reserve(64 + entries.size() * kEntryBytes);
    AppendPageStart(out);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) out.push_back(',');
        AppendEntryJson(out, entries[i]);
    }
    AppendPageEnd(out, resume, total);
    return out;
}

std::string LinsPageJson(const ChangelistSource& source, uint64_t offset, uint64_t count,
                         const std::string& resume, uint64_t total) {
    std::string out;
    out.reserve(64 + resume.size() + std::min<uint64_t>(count, 100000) * kEntryBytes);
    AppendPageStart(out);
    source.AppendPageItems(offset, count, out);
    AppendPageEnd(out, resume, total);
    return out;
}

}  // namespace arraysim
