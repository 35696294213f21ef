#pragma once

// Wall time and peak memory as the benchmarks read them.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

// Seconds on the monotonic clock.
inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// This process's peak resident set (VmHWM) in KiB, -1 when unknown.
inline long PeakRssKiB() {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(status);
    return kib;
}

}  // namespace bench
