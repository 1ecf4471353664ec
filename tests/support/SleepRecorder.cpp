#include "SleepRecorder.h"

#include <utility>

namespace cstest {

SleepRecorder::SleepRecorder() {
    previous_ = SetSleepFunction([this](int ms, const char*, int) { Record(ms); });
}

SleepRecorder::~SleepRecorder() {
    SetSleepFunction(std::move(previous_));
}

void SleepRecorder::Record(int ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ms);
    }
    if (onSleep) {
        onSleep(ms);
    }
}

std::vector<int> SleepRecorder::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

long long SleepRecorder::TotalMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    long long total = 0;
    for (const int ms : calls_) {
        total += ms;
    }
    return total;
}

}  // namespace cstest
