#pragma once

// What the parse benchmarks measure with, the same for the library and for the floor program.

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace csbench {

/// @brief Peak resident set of this process so far, in KiB.
inline long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/// @brief The median of @p values (the mean of the middle two for an even count).
inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/// @brief CPU time of the calling thread, in milliseconds.
inline double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

/// @brief The number of machines named on the command line; exits with 2 when it is no count.
inline unsigned MachineCount(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value <= 0 || value > 10000000) {
        std::fprintf(stderr, "bad number of machines: %s\n", text);
        std::exit(2);
    }
    return static_cast<unsigned>(value);
}

}  // namespace csbench
