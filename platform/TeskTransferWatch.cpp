#include "TeskTransferWatch.h"

#include <algorithm>

#include "StrUtil.h"

namespace {

TeskTransferWatch::Clock::duration Positive(long ms) {
    return ms > 0 ? TeskTransferWatch::Clock::duration(std::chrono::milliseconds(ms))
                  : TeskTransferWatch::Clock::duration::zero();
}

}  // namespace

void TeskTransferWatch::Begin(Clock::time_point now, const TeskLibCurlLimits& limits) {
    m_Start = now;
    m_LastByte = now;
    m_ullTotal = 0;
    m_Idle = Positive(limits.lIdleTimeoutMs);
    m_Overall = Positive(limits.lTotalTimeoutMs);
    m_Window = Positive(limits.lRateWindowMs);
    m_lIdleMs = limits.lIdleTimeoutMs;
    m_lOverallMs = limits.lTotalTimeoutMs;
    m_lWindowMs = limits.lRateWindowMs;
    m_ullMinRate = limits.ullMinBytesPerSec;
    m_ullNeeded = 0;
    if (limits.lRateWindowMs > 0 && limits.ullMinBytesPerSec > 0) {
        m_ullNeeded = std::max<unsigned long long>(
            1, limits.ullMinBytesPerSec * static_cast<unsigned long long>(limits.lRateWindowMs) / 1000);
    }
    m_Granule = m_Window / 64;
    m_Samples.clear();
    m_Samples.push_back(Sample{now, 0});
}

void TeskTransferWatch::Record(Clock::time_point now, unsigned long long total) {
    if (total <= m_ullTotal) {
        return;
    }
    m_ullTotal = total;
    m_LastByte = now;
    if (m_ullNeeded == 0) {
        return;
    }
    // A sample says "by this time, this many bytes". Samples closer together than a granule
    // are merged into the later one, which keeps the list short and can only make a window look
    // fuller than it was, never emptier.
    if (m_Samples.size() >= 2 && now - m_Samples[m_Samples.size() - 2].time < m_Granule) {
        m_Samples.back() = Sample{now, total};
    } else {
        m_Samples.push_back(Sample{now, total});
    }
    Prune(now);
}

bool TeskTransferWatch::Expired(Clock::time_point now, std::string& reason) {
    if (m_Overall.count() > 0 && now - m_Start >= m_Overall) {
        reason = StrUtil::Format("the request did not complete within the overall limit of %ld ms", m_lOverallMs);
        return true;
    }
    if (m_Idle.count() > 0 && now - m_LastByte >= m_Idle) {
        reason = StrUtil::Format("no byte received for %ld ms", m_lIdleMs);
        return true;
    }
    if (m_ullNeeded > 0 && now - m_Start >= m_Window) {
        Prune(now);
        // The first sample is the last one taken at or before the window's start, so the
        // difference counts at least every byte of the window.
        const unsigned long long inWindow = m_ullTotal - m_Samples.front().total;
        if (inWindow < m_ullNeeded) {
            reason = StrUtil::Format(
                "only %llu bytes received in the last %ld ms, below the minimum average of %llu bytes/s", inWindow,
                m_lWindowMs, m_ullMinRate);
            return true;
        }
    }
    return false;
}

long TeskTransferWatch::MsUntilNextCheck(Clock::time_point now) const {
    Clock::time_point next = now + std::chrono::seconds(1);
    if (m_Overall.count() > 0) {
        next = std::min(next, m_Start + m_Overall);
    }
    if (m_Idle.count() > 0) {
        next = std::min(next, m_LastByte + m_Idle);
    }
    if (m_ullNeeded > 0) {
        // If nothing more arrives, the window check fails once the window has slid past the
        // first sample after which fewer than the needed bytes came.
        for (const Sample& sample : m_Samples) {
            if (m_ullTotal - sample.total < m_ullNeeded) {
                next = std::min(next, std::max(m_Start + m_Window, sample.time + m_Window));
                break;
            }
        }
    }
    if (next <= now) {
        return 0;
    }
    // Rounded up: waking a little late is harmless, waking early costs one more round.
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now + std::chrono::milliseconds(1) -
                                                                            Clock::duration(1));
    return std::max<long>(1, static_cast<long>(wait.count()));
}

// Keeps the last sample at or before the start of the window ending at @p now, and all later.
void TeskTransferWatch::Prune(Clock::time_point now) {
    const Clock::time_point windowStart = now - m_Window;
    while (m_Samples.size() >= 2 && m_Samples[1].time <= windowStart) {
        m_Samples.pop_front();
    }
}
