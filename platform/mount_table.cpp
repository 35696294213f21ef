// Reader of the mount table in the kernel's format: blank-separated fields with
// blanks, tabs, newlines and backslashes inside a field written as octal escapes.
#include "host/TzMntTab.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/auto_fileptr.h"
#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"

namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// "\040" and the like become their byte; a backslash not followed by three
// octal digits stays as written.
std::string DecodeField(const std::string& field) {
    std::string decoded;
    decoded.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
            IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                decoded.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        decoded.push_back(field[i]);
    }
    return decoded;
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at == line.size()) break;
        size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

}  // namespace

CRwError TzMntTab::getAll(std::list<Entry>& entries) {
    entries.clear();
    const char* overridden = getenv("SNAPSCAN_MOUNT_TABLE");
    const std::string path =
        (overridden != nullptr && *overridden != '\0') ? overridden : "/proc/self/mounts";

    auto_fileptr file(fopen(path.c_str(), "re"));
    if (!file.is_valid()) {
        const int reason = errno;
        return FXErrorUtil::ErrorWin32(FX_HERE, 1627, "Mount table [%s] cannot be read: %s",
                                       path.c_str(), strerror(reason));
    }
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    unsigned long lineNumber = 0;
    errno = 0;
    while ((length = getline(&buffer, &capacity, file.get())) >= 0) {
        ++lineNumber;
        std::string line(buffer, static_cast<size_t>(length));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        const std::vector<std::string> fields = SplitFields(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        if (fields.size() < 2) {
            SNAP_LOG(-1, "Mount table [%s] line %lu has no mount point; skipped", path.c_str(),
                     lineNumber);
            continue;
        }
        Entry entry;
        entry.device = DecodeField(fields[0]);
        entry.mountPoint = DecodeField(fields[1]);
        if (fields.size() > 2) entry.text3 = DecodeField(fields[2]);
        if (fields.size() > 3) entry.text4 = DecodeField(fields[3]);
        entries.push_back(std::move(entry));
    }
    const bool failed = ferror(file.get()) != 0;
    const int reason = errno;
    free(buffer);
    if (failed) {
        entries.clear();
        return FXErrorUtil::ErrorWin32(FX_HERE, 1627, "Mount table [%s] cannot be read: %s",
                                       path.c_str(), strerror(reason));
    }
    return CRwError::Success();
}
