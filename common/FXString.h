#pragma once

#include <strings.h>

#include <cstdint>
#include <string>

#include "host/SnapHostExport.h"

// Case-insensitive comparison of two texts: ASCII letters without regard to case,
// other bytes by value.
inline int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }

namespace FXString {

// Stops at a first zero byte, as the texts are compared as C strings.
inline int CompareNoCase(const std::string& a, const std::string& b) {
    return _stricmp(a.c_str(), b.c_str());
}

// True when text begins with prefix, byte for byte (case matters).
inline bool MatchLeft(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Removes suffix from the end of text when text ends with it (once). Returns
// whether something was removed. An empty suffix removes nothing.
SNAPHOST_API bool RemoveRight(std::string& text, const std::string& suffix);

// Replaces every occurrence of from at or after position start by to, scanning
// left to right without rescanning replaced text. An empty from changes nothing.
SNAPHOST_API void ReplaceAll(std::string& text, const std::string& from, const std::string& to,
                             uint64_t start);

// printf-style formatting into a new string.
SNAPHOST_API std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace FXString
