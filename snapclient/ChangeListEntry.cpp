#include "snapclient/ChangeListEntry.h"

#include <cstdio>

namespace snapclient {

bool IsPathBelowShareRoot(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    if (path.size() == 1) return true;
    // Each component runs from just after a "/" to the next "/" or the end.
    size_t start = 1;
    for (;;) {
        const size_t end = path.find('/', start);
        const size_t length = (end == std::string::npos ? path.size() : end) - start;
        if (length == 0) return false;
        if (length == 1 && path[start] == '.') return false;
        if (length == 2 && path[start] == '.' && path[start + 1] == '.') return false;
        if (path.find('\0', start) < start + length) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool ParseInodeText(const std::string& text, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
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
