// The framework's clock, with a process-wide hook so that tests can move time
// on instead of waiting for it.
#include "host/HostClock.h"

#include <mutex>
#include <utility>

namespace {

std::mutex g_hookMutex;
TZTimeHook g_hook;

}  // namespace

time_t TZTime() {
    TZTimeHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    // Called outside the lock: a hook may itself read or replace the clock.
    if (hook) return hook();
    return time(nullptr);
}

TZTimeHook SetTZTimeHook(TZTimeHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}
