#pragma once

// What the benchmarks measure with: the same clocks and medians for the library and for the floor program.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
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

/// Wall-clock and thread CPU times of repeated runs of one piece of work.
class RunTimes {
public:
    /// @brief Runs @p work once and keeps how long it took; what @p work leaves behind is freed outside the clock.
    template <typename Work>
    void Time(Work&& work) {
        const double cpuStart = ThreadCpuMs();
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto stop = std::chrono::steady_clock::now();
        const double cpuStop = ThreadCpuMs();
        wall_.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        cpu_.push_back(cpuStop - cpuStart);
    }

    /// @brief Prints "<name>_ms" (wall clock) and "<name>_cpu_ms" (this thread's CPU time), medians of the runs.
    /// On a busy machine the CPU time is the steadier of the two.
    void PrintMedians(const char* name) const {
        std::printf("%s_ms %.2f\n%s_cpu_ms %.2f\n", name, Median(wall_), name, Median(cpu_));
    }

private:
    std::vector<double> wall_;
    std::vector<double> cpu_;
};

/// @brief Prints the body size and the peak resident set before and after the parse, as the rss modes report them.
inline void PrintRss(std::size_t bodyBytes, long rssBeforeKiB) {
    std::printf("body_bytes %zu\n", bodyBytes);
    std::printf("rss_before_kib %ld\n", rssBeforeKiB);
    std::printf("peak_rss_kib %ld\n", PeakRssKiB());
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
