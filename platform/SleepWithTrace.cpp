#include "SleepWithTrace.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::mutex& SleepMutex() {
    static std::mutex mutex;
    return mutex;
}

SleepFunction& InstalledSleep() {
    static SleepFunction function;
    return function;
}

// Whether a replacement is installed: read without the lock, so that a job wait outside tests
// takes no process-wide lock.
std::atomic<bool>& Installed() {
    static std::atomic<bool> installed{false};
    return installed;
}

}  // namespace

void SleepWithTrace(int ms, const char* file, int line) {
    if (ms < 0) {
        ms = 0;
    }
    SleepFunction replacement;
    if (Installed().load(std::memory_order_acquire)) {
        // Copy out so that a replacement may itself call SetSleepFunction, and the
        // lock is not held for the length of a real sleep.
        std::lock_guard<std::mutex> lock(SleepMutex());
        replacement = InstalledSleep();
    }
    if (replacement) {
        replacement(ms, file, line);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SleepFunction SetSleepFunction(SleepFunction function) {
    std::lock_guard<std::mutex> lock(SleepMutex());
    SleepFunction previous = std::move(InstalledSleep());
    InstalledSleep() = std::move(function);
    Installed().store(static_cast<bool>(InstalledSleep()), std::memory_order_release);
    return previous;
}
