#pragma once

// What every benchmark reads and prints the same way: wall time, CPU time of
// this process and of a child, peak memory, the load, best-of-N figures, the
// verdict of a goal, and a log writer that shows only error lines. Header-only
// and linking nothing of the product, so any benchmark can use it.

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "host/LogWriter.h"

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

// CPU seconds (user + system) of a process so far ("self" or a pid), -1 when unknown.
inline double CpuSeconds(const std::string& pid) {
    FILE* file = fopen(("/proc/" + pid + "/stat").c_str(), "r");
    if (file == nullptr) return -1;
    char text[1024];
    const size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    // Fields after the command name, which ends with the last ')': state is
    // field 3, utime and stime fields 14 and 15.
    const char* at = strrchr(text, ')');
    unsigned long long utime = 0, stime = 0;
    if (at == nullptr || sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The first child of this process's main thread ("" when none): the emulator,
// when a benchmark starts it before anything else.
inline std::string FirstChildPid() {
    std::ifstream in("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::string pid;
    in >> pid;
    return pid;
}

// CPU seconds this process and the emulator spent while some work ran; -1 when
// not known on this system.
struct CpuSpent {
    double self = 0, sim = 0;
};

// Runs `work` (returning its figure) and records the CPU time it took here and
// in the process `simPid`.
template <typename Work>
double Measured(const std::string& simPid, Work&& work, CpuSpent& spent) {
    const double self0 = CpuSeconds("self"), sim0 = CpuSeconds(simPid);
    const double result = work();
    const double self1 = CpuSeconds("self"), sim1 = CpuSeconds(simPid);
    spent.self = self0 < 0 || self1 < 0 ? -1 : self1 - self0;
    spent.sim = simPid.empty() || sim0 < 0 || sim1 < 0 ? -1 : sim1 - sim0;
    return result;
}

// Microseconds per entry of `seconds` spent on `entries`, -1 when unknown.
inline double MicrosPerEntry(double seconds, uint64_t entries) {
    return seconds < 0 || entries == 0 ? -1 : seconds * 1e6 / static_cast<double>(entries);
}

// The best (highest rate, or lowest cost with Lowest) of the rounds so far.
struct Best {
    double value = 0;
    bool seen = false;
    void Highest(double v) {
        value = seen ? std::max(value, v) : v;
        seen = true;
    }
    void Lowest(double v) {
        if (v < 0) return;  // unknown
        value = seen ? std::min(value, v) : v;
        seen = true;
    }
};

// The one-minute load average, -1 when unknown.
inline double Load() {
    double load[1] = {-1};
    getloadavg(load, 1);
    return load[0];
}

inline const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

// "ratio R (goal >= G: met)": a figure against its baseline of the same run.
inline void PrintRatio(const char* what, double value, double baseline, double goal,
                       bool atLeast = true) {
    const double ratio = baseline > 0 ? value / baseline : 0;
    printf("%-10s ratio %.2f (goal %s %.2f: %s)\n", what, ratio, atLeast ? ">=" : "<=", goal,
           Verdict(atLeast ? ratio >= goal : ratio <= goal));
}

// Waits for a child process: its exit status (-1 unless it exited), its peak
// resident set in KiB and its CPU seconds, from its resource usage. A spawned
// child's peak counts the peak of the process that spawned it too (the kernel
// keeps the larger across exec), so a spawner must stay smaller than what it measures.
inline bool WaitChild(pid_t pid, int& exitStatus, long& peakRssKiB, double& cpuSeconds) {
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    peakRssKiB = usage.ru_maxrss;
    cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return true;
}

// A log writer that shows error lines on stderr and drops the rest, so that a
// benchmark measures the work and not its logging.
class ErrorsToStderr : public CLogWriterInterface {
public:
    void Write(int level, const char*, int, int, int, const char* format, ...) override {
        if (level >= 0) return;
        va_list args;
        va_start(args, format);
        vfprintf(stderr, format, args);
        va_end(args);
        fputc('\n', stderr);
    }
    int GetLevel() override { return 0; }
};

}  // namespace bench
