// The out-of-line part of FXString: byte-string operations of the agent framework.
#include <cstdarg>

#include "common/FXString.h"
#include "platform/string_format.h"

namespace FXString {

bool RemoveRight(std::string& text, const std::string& suffix) {
    if (suffix.empty() || text.size() < suffix.size()) return false;
    if (text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    text.erase(text.size() - suffix.size());
    return true;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to, uint64_t start) {
    if (from.empty() || start >= text.size()) return;
    std::string result;
    result.reserve(text.size());
    size_t copied = 0;
    size_t at = static_cast<size_t>(start);
    while ((at = text.find(from, at)) != std::string::npos) {
        result.append(text, copied, at - copied);
        result += to;
        at += from.size();
        copied = at;
    }
    if (copied == 0) return;
    result.append(text, copied, std::string::npos);
    text.swap(result);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = snaphost::FormatV(format, args);
    va_end(args);
    return text;
}

}  // namespace FXString
