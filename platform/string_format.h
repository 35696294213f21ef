#pragma once

// printf-style formatting into a std::string, for the services that take a
// format and its arguments (the log writer, FXErrorUtil, FXString::Format).

#include <cstdarg>
#include <string>

namespace snaphost {

// The whole text whatever its length; empty for a null format or when the
// format cannot be rendered. `args` is left for the caller to va_end.
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace snaphost
