#include "tools/arraysim/lins_edit.h"

#include <vector>

#include "tools/arraysim/json_bytes.h"
#include "tools/arraysim/lins_page.h"

namespace arraysim {

namespace {

constexpr const char* kPageStart = "{\"lins\":[";
constexpr const char* kEntryStart = "{\"id\":\"";

}  // namespace

uint64_t DropLinsEntry(std::string& page, const std::string& path) {
    std::string needle = "\"path\":";
    AppendJsonString(needle, path);
    needle += ",\"type\":";
    uint64_t dropped = 0;
    for (size_t at = page.find(needle); at != std::string::npos; at = page.find(needle)) {
        size_t start = page.rfind(kEntryStart, at);
        // An entry ends with its mtime object: the first "}}" after the path.
        size_t end = page.find("}}", at);
        if (start == std::string::npos || end == std::string::npos) break;
        end += 2;
        if (end < page.size() && page[end] == ',')
            ++end;
        else if (start > 0 && page[start - 1] == ',')
            --start;
        page.erase(start, end - start);
        ++dropped;
    }
    return dropped;
}

bool AddLinsEntry(std::string& page, const ChangeEntry& entry) {
    const std::string prefix = kPageStart;
    if (page.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string alone = LinsPageJson({entry}, "", 0);
    const size_t end = alone.find("],\"resume\":");
    std::string text = alone.substr(prefix.size(), end - prefix.size());
    if (page.size() > prefix.size() && page[prefix.size()] != ']') text += ',';
    page.insert(prefix.size(), text);
    return true;
}

}  // namespace arraysim
