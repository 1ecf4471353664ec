#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>

#include "TeskLibCurl.h"

/// @brief Watches one transfer against the idle, average-rate and overall limits of
/// TeskLibCurlLimits. curl's own LOW_SPEED check compares a speed averaged over a few seconds,
/// so a server that sends a few bytes every minute never trips it; here the bytes of every
/// window are counted, and a limit is reported only when it is certainly crossed.
/// Time is passed in, so that the bookkeeping can be checked without waiting.
class TeskTransferWatch {
public:
    using Clock = std::chrono::steady_clock;

    /// @brief Starts watching a transfer that begins at @p now.
    void Begin(Clock::time_point now, const TeskLibCurlLimits& limits);
    /// @brief Notes that @p total bytes (header lines and still compressed body together) had
    /// arrived by @p now. Calls come in time order; a total that did not grow is ignored.
    void Record(Clock::time_point now, unsigned long long total);
    /// @brief true, with the reason for an error line, when a limit is crossed at @p now.
    bool Expired(Clock::time_point now, std::string& reason);
    /// @brief How long the transfer may wait for data before Expired must be asked again:
    /// the time until the earliest limit could be crossed if nothing more arrives, at most 1 s.
    long MsUntilNextCheck(Clock::time_point now) const;
    /// @brief Samples kept for the rate window; stays small however many calls Record gets.
    std::size_t SampleCount() const { return m_Samples.size(); }

private:
    struct Sample {
        Clock::time_point time;
        unsigned long long total;
    };

    void Prune(Clock::time_point now);

    Clock::time_point m_Start;
    Clock::time_point m_LastByte;
    unsigned long long m_ullTotal{0};
    Clock::duration m_Idle{};
    Clock::duration m_Overall{};
    Clock::duration m_Window{};
    Clock::duration m_Granule{};
    long m_lIdleMs{0};
    long m_lOverallMs{0};
    long m_lWindowMs{0};
    unsigned long long m_ullMinRate{0};
    unsigned long long m_ullNeeded{0};
    std::deque<Sample> m_Samples;
};
