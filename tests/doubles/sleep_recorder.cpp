#include "tests/doubles/sleep_recorder.h"

#include <chrono>
#include <thread>

namespace snapscan_test {

SleepRecorder::SleepRecorder(unsigned int realMillisecondsPerCall)
    : m_state(std::make_shared<State>()) {
    m_state->realMilliseconds = realMillisecondsPerCall;
    std::shared_ptr<State> state = m_state;
    m_previous = SetTZSleepHook([state](unsigned int milliseconds, const char* file, int line) {
        unsigned int real;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->calls.push_back(SleepCall{milliseconds, file ? file : "", line});
            real = state->realMilliseconds;
        }
        if (real > 0) std::this_thread::sleep_for(std::chrono::milliseconds(real));
    });
}

SleepRecorder::~SleepRecorder() { SetTZSleepHook(m_previous); }

void SleepRecorder::SetRealMillisecondsPerCall(unsigned int milliseconds) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->realMilliseconds = milliseconds;
}

std::vector<SleepCall> SleepRecorder::Calls() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls;
}

void SleepRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->calls.clear();
}

}  // namespace snapscan_test
