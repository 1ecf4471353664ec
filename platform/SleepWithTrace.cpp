#include "SleepWithTrace.h"

#include <chrono>
#include <thread>
#include <utility>

#include "TeskReplaceable.h"

namespace {

TeskReplaceable<SleepFunction>& SleepSeam() {
    static TeskReplaceable<SleepFunction> seam;
    return seam;
}

}  // namespace

void SleepWithTrace(int ms, const char* file, int line) {
    if (ms < 0) {
        ms = 0;
    }
    const SleepFunction replacement = SleepSeam().Current();
    if (replacement) {
        replacement(ms, file, line);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SleepFunction SetSleepFunction(SleepFunction function) {
    return SleepSeam().Replace(std::move(function));
}
