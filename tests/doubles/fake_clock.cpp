#include "tests/doubles/fake_clock.h"

#include <utility>

namespace snapscan_test {

FakeClock::FakeClock(time_t start) : m_state(std::make_shared<State>()) {
    m_state->start = start;
    std::shared_ptr<State> state = m_state;
    m_previousTime = SetTZTimeHook([state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->start + static_cast<time_t>(state->elapsedMilliseconds / 1000);
    });
    // The hook replaced is also called, so that whoever recorded sleeps before
    // still does.
    TZSleepHook inner = SetTZSleepHook(TZSleepHook());
    m_previousSleep = inner;
    SetTZSleepHook([state, inner](unsigned int milliseconds, const char* file, int line) {
        if (inner) inner(milliseconds, file, line);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->elapsedMilliseconds += milliseconds;
    });
}

FakeClock::~FakeClock() {
    SetTZSleepHook(m_previousSleep);
    SetTZTimeHook(m_previousTime);
}

time_t FakeClock::Now() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->start + static_cast<time_t>(m_state->elapsedMilliseconds / 1000);
}

void FakeClock::Advance(unsigned int seconds) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->elapsedMilliseconds += 1000ULL * seconds;
}

}  // namespace snapscan_test
