#include "platform/manage_isilon_rules.h"

#include <cstdint>

namespace arrayrules {

bool CheckSnapshotName(const char* operation, const std::string& name, std::string& code,
                       std::string& message) {
    if (!name.empty()) return true;
    code = kInvalidArgument;
    message = std::string(operation) + ": no snapshot name given";
    return false;
}

namespace {

bool IsUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        size_t extra = 0;
        uint32_t point = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            point = c & 0x07;
        } else {
            return false;
        }
        if (size - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
            point = (point << 6) | (bytes[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and points beyond U+10FFFF are not UTF-8.
        if ((extra == 2 && point < 0x800) || (extra == 3 && point < 0x10000) ||
            (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

std::string Escaped(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

bool CheckSnapshotRequest(const char* operation, const std::string& path, const std::string& name,
                          std::string& code, std::string& message) {
    if (!CheckSnapshotName(operation, name, code, message)) return false;
    const char* refused = path.empty()    ? "no path given"
                          : !IsUtf8(path) ? "the path is not UTF-8 text"
                          : !IsUtf8(name) ? "the snapshot name is not UTF-8 text"
                                          : nullptr;
    if (refused == nullptr) return true;
    code = kInvalidArgument;
    message = std::string(operation) + ": " + refused + ": [" + Escaped(path) + "] [" +
              Escaped(name) + "]";
    return false;
}

void LeaveFailedPage(_IsilonChangeListInfo& page, const std::string& sentToken) {
    page.items.clear();
    if (page.resumeToken != sentToken) page.resumeToken = sentToken;
}

}  // namespace arrayrules
