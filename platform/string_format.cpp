#include "platform/string_format.h"

#include <cstdio>

namespace snaphost {

std::string FormatV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    // Most texts fit here, which saves measuring them first.
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed <= 0) return std::string();
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

}  // namespace snaphost
