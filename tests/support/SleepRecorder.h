#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "SleepWithTrace.h"

namespace cstest {

/// @brief Replaces SleepWithTrace while it lives: every requested pause is recorded and
/// returns at once. The previous sleep function comes back on destruction.
class SleepRecorder {
public:
    SleepRecorder();
    ~SleepRecorder();
    SleepRecorder(const SleepRecorder&) = delete;
    SleepRecorder& operator=(const SleepRecorder&) = delete;

    /// @brief The requested milliseconds of every pause so far, in order.
    std::vector<int> Calls() const;
    /// @brief Sum of all requested milliseconds.
    long long TotalMs() const;

    /// @brief Called (outside the recorder's lock) after each pause is recorded, with its
    /// milliseconds; lets a test change server state between polls.
    std::function<void(int)> onSleep;

private:
    void Record(int ms);

    mutable std::mutex mutex_;
    std::vector<int> calls_;
    SleepFunction previous_;
};

}  // namespace cstest
