#pragma once

#include <functional>

/// @brief Blocks the calling thread for @p ms milliseconds; @p file and @p line name the caller.
void SleepWithTrace(int ms, const char* file, int line);

/// @brief Replaces what SleepWithTrace does, process-wide (tests record the requested pauses
/// instead of waiting). An empty function restores the real sleep. A replacement may still be
/// running on another thread when this returns, so it must outlive every such caller.
/// @return the function that was installed before (empty for the real sleep).
using SleepFunction = std::function<void(int ms, const char* file, int line)>;
SleepFunction SetSleepFunction(SleepFunction function);
