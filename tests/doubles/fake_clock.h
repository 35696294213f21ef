#pragma once

// Replaces the framework's clock for its own lifetime with one that stands
// still until a sleep moves it on by the time slept. A wait bounded by the
// clock then runs the requests and sleeps it would run in real time, at once.
// The sleep hook in place before (a SleepRecorder, say) still sees every sleep.

#include <ctime>
#include <memory>
#include <mutex>

#include "host/HostClock.h"
#include "host/HostSleep.h"

namespace snapscan_test {

class FakeClock {
public:
    explicit FakeClock(time_t start = 1700000000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    time_t Now() const;
    void Advance(unsigned int seconds);

private:
    struct State {
        mutable std::mutex mutex;
        time_t start = 0;
        unsigned long long elapsedMilliseconds = 0;
    };
    std::shared_ptr<State> m_state;
    TZTimeHook m_previousTime;
    TZSleepHook m_previousSleep;
};

}  // namespace snapscan_test
