#include "tools/arraysim/lins_page.h"

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

// Bytes of 0x80 and above pass through as they are: paths are byte strings on the array.
void AppendString(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      out.append("\\u00");
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
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
    AppendString(out, e.path);
    out.append(",\"type\":");
    AppendString(out, e.type);
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
    AppendString(out, resume);
  out.append(",\"total\":");
  AppendUnsigned(out, total);
  out.push_back('}');
  return out;
}

}  // namespace arraysim
