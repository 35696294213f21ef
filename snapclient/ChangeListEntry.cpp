#include "snapclient/ChangeListEntry.h"

#include <cstdio>

namespace snapclient {

bool IsPathBelowShareRoot(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    if (path.size() == 1) return true;
    // One pass, as this runs for every entry of a changelist: each component
    // runs from just after a "/" to the next "/" or the end.
    const char* const end = path.data() + path.size();
    const char* start = path.data() + 1;
    for (const char* at = start;; ++at) {
        if (at != end && *at != '/') {
            if (*at == '\0') return false;
            continue;
        }
        const size_t length = static_cast<size_t>(at - start);
        if (length == 0) return false;
        if (start[0] == '.' && (length == 1 || (length == 2 && start[1] == '.'))) return false;
        if (at == end) return true;
        start = at + 1;
    }
}

bool ParseInodeText(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    // Nineteen digits always fit in 64 bits; from the twentieth on, each
    // digit is checked for overflow.
    constexpr size_t kDigitsThatFit = 19;
    uint64_t result = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (i >= kDigitsThatFit && result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool CheckChangeListEntry(const std::string& path, const std::string& inodeText, uint64_t& inode,
                          std::string& problem) {
    if (!IsPathBelowShareRoot(path)) {
        problem = "the entry path [" + Printable(path) + "] does not name an entry below the share";
        return false;
    }
    if (!ParseInodeText(inodeText, inode)) {
        problem = "the inode [" + Printable(inodeText) + "] of the entry [" + Printable(path) +
                  "] is not a decimal number of 64 bits";
        return false;
    }
    return true;
}

std::string Printable(const std::string& text) {
    std::string printable;
    printable.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || byte == '\\') {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            printable += escaped;
        } else {
            printable += c;
        }
    }
    return printable;
}

}  // namespace snapclient
