#pragma once

#include <functional>

#include "host/SnapHostExport.h"

// The framework's sleep call: returns after `milliseconds`. file and line name
// the caller, for the trace.
SNAPHOST_API void TZSleep(unsigned int milliseconds, const char* file, int line);

// Replaces the sleep process-wide (tests make waits instant and count them).
// An empty hook restores the real sleep. Returns the hook that was in place.
using TZSleepHook = std::function<void(unsigned int milliseconds, const char* file, int line)>;
SNAPHOST_API TZSleepHook SetTZSleepHook(TZSleepHook hook);
