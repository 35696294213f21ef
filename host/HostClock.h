#pragma once

#include <ctime>
#include <functional>

#include "host/SnapHostExport.h"

// The framework's clock: whole seconds since the epoch, as time(nullptr). The
// plug-in measures its waits with it (the changelist wait limit, the progress
// interval), so that a test can move time on instead of waiting for it.
SNAPHOST_API time_t TZTime();

// Replaces the clock process-wide; an empty hook restores the real one.
// Returns the hook that was in place. Like SetTZSleepHook (host/HostSleep.h),
// with which a test usually pairs it: a sleep that moves the clock on.
using TZTimeHook = std::function<time_t()>;
SNAPHOST_API TZTimeHook SetTZTimeHook(TZTimeHook hook);
