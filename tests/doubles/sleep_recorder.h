#pragma once

// Replaces the framework's sleep for its own lifetime: every call is recorded,
// and the caller is held for realMillisecondsPerCall (0 by default) instead of
// the time it asked for, so that loops bounded by time() still end quickly.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostSleep.h"

namespace snapscan_test {

struct SleepCall {
    unsigned int milliseconds = 0;
    std::string file;
    int line = 0;
};

class SleepRecorder {
public:
    explicit SleepRecorder(unsigned int realMillisecondsPerCall = 0);
    ~SleepRecorder();
    SleepRecorder(const SleepRecorder&) = delete;
    SleepRecorder& operator=(const SleepRecorder&) = delete;

    void SetRealMillisecondsPerCall(unsigned int milliseconds);
    std::vector<SleepCall> Calls() const;
    void Clear();

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<SleepCall> calls;
        unsigned int realMilliseconds = 0;
    };
    std::shared_ptr<State> m_state;
    TZSleepHook m_previous;
};

}  // namespace snapscan_test
