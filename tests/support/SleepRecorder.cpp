#include "SleepRecorder.h"

#include <utility>

namespace cstest {

SleepRecorder::SleepRecorder() {
    m_previous = SetSleepFunction([this](int ms, const char*, int) { Record(ms); });
}

SleepRecorder::~SleepRecorder() {
    SetSleepFunction(std::move(m_previous));
}

void SleepRecorder::Record(int ms) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(ms);
    }
    if (onSleep) {
        onSleep(ms);
    }
}

std::vector<int> SleepRecorder::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

long long SleepRecorder::TotalMs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    long long total = 0;
    for (const int ms : m_calls) {
        total += ms;
    }
    return total;
}

}  // namespace cstest
