#pragma once

// Where a failure arose: points at static text (__FILE__, __PRETTY_FUNCTION__) and
// owns nothing. Built on the stack right before a failure is created or pushed.
struct FXCodeLocation {
    FXCodeLocation(const char* file_, const char* function_, int line_)
        : file(file_), function(function_), line(line_) {}

    const char* file;
    const char* function;
    int line;
};

#define FX_HERE FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)
