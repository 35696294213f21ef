// The framework's sleep call, with a process-wide hook so that tests can make
// waits instant and count them.
#include "host/HostSleep.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::mutex g_hookMutex;
TZSleepHook g_hook;

}  // namespace

void TZSleep(unsigned int milliseconds, const char* file, int line) {
    TZSleepHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    // Called outside the lock: a hook may itself sleep or replace the hook.
    if (hook) {
        hook(milliseconds, file, line);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

TZSleepHook SetTZSleepHook(TZSleepHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}
