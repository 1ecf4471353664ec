// The transfer limits' bookkeeping with made-up clocks: the default limits at their real
// scale (minutes), checked without waiting.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "TeskTransferWatch.h"

namespace {

using Clock = TeskTransferWatch::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

class TransferWatchTest : public ::testing::Test {
protected:
    void Begin(const TeskLibCurlLimits& limits = TeskLibCurlLimits()) { m_watch.Begin(m_start, limits); }
    bool ExpiredAt(Clock::duration after) { return m_watch.Expired(m_start + after, m_reason); }

    const Clock::time_point m_start = Clock::time_point() + std::chrono::hours(1);
    TeskTransferWatch m_watch;
    std::string m_reason;
};

TEST_F(TransferWatchTest, TenBytesEveryMinuteFailTheAverageAfterTheFirstWindow) {
    Begin();
    m_watch.Record(m_start + seconds(60), 10);
    // The drip keeps the idle limit (120 s) from ever firing...
    EXPECT_FALSE(ExpiredAt(seconds(120) - milliseconds(1))) << m_reason;
    EXPECT_EQ(m_watch.MsUntilNextCheck(m_start + seconds(120) - milliseconds(1)), 1);
    m_watch.Record(m_start + seconds(120), 20);
    // ...but 20 bytes in 120 s are far below 1 KiB/s.
    EXPECT_TRUE(ExpiredAt(seconds(120)));
    EXPECT_EQ(m_reason, "only 20 bytes received in the last 120000 ms, below the minimum average of 1024 bytes/s");
}

TEST_F(TransferWatchTest, SteadyMinimumRatePassesAndAnythingSlowerFails) {
    Begin();
    for (int second = 1; second <= 600; ++second) {
        m_watch.Record(m_start + seconds(second), 1024ull * second);
        ASSERT_FALSE(ExpiredAt(seconds(second))) << "after " << second << " s: " << m_reason;
    }

    TeskTransferWatch slow;
    slow.Begin(m_start, TeskLibCurlLimits());
    int failedAt = 0;
    for (int second = 1; second <= 600 && failedAt == 0; ++second) {
        slow.Record(m_start + seconds(second), 1000ull * second);
        if (slow.Expired(m_start + seconds(second), m_reason)) failedAt = second;
    }
    // The window is judged as soon as it is full; merged samples may shift that by a granule.
    EXPECT_GE(failedAt, 120);
    EXPECT_LE(failedAt, 122);
}

TEST_F(TransferWatchTest, IdleLimitCountsFromTheLastByte) {
    Begin();
    m_watch.Record(m_start + seconds(100), 5000000);
    EXPECT_FALSE(ExpiredAt(seconds(219)));
    EXPECT_EQ(m_watch.MsUntilNextCheck(m_start + seconds(219)), 1000);
    EXPECT_TRUE(ExpiredAt(seconds(220)));
    EXPECT_EQ(m_reason, "no byte received for 120000 ms");
}

TEST_F(TransferWatchTest, OverallLimitStopsEvenAFastTransfer) {
    Begin();
    for (int second = 1; second < 1800; ++second) {
        m_watch.Record(m_start + seconds(second), 1000000ull * second);
    }
    EXPECT_FALSE(ExpiredAt(seconds(1800) - milliseconds(1)));
    EXPECT_TRUE(ExpiredAt(seconds(1800)));
    EXPECT_EQ(m_reason, "the request did not complete within the overall limit of 1800000 ms");
}

TEST_F(TransferWatchTest, WaitEndsWhenTheEarliestLimitIsDue) {
    TeskLibCurlLimits limits;
    limits.lIdleTimeoutMs = 300;
    limits.lRateWindowMs = 200;
    limits.ullMinBytesPerSec = 1000;  // 200 bytes per window
    limits.lTotalTimeoutMs = 10000;
    Begin(limits);
    EXPECT_EQ(m_watch.MsUntilNextCheck(m_start), 200);
    m_watch.Record(m_start + milliseconds(50), 150);
    m_watch.Record(m_start + milliseconds(150), 300);
    // 300 bytes by 150 ms: the window fails only once it no longer holds the first 150.
    EXPECT_EQ(m_watch.MsUntilNextCheck(m_start + milliseconds(150)), 100);
    EXPECT_FALSE(ExpiredAt(milliseconds(249)));
    EXPECT_TRUE(ExpiredAt(milliseconds(250)));
}

TEST_F(TransferWatchTest, SamplesStayFewHoweverOftenBytesArrive) {
    Begin();
    for (int tick = 1; tick <= 1000000; ++tick) {
        m_watch.Record(m_start + std::chrono::microseconds(240 * tick), 100ull * tick);
    }
    EXPECT_LE(m_watch.SampleCount(), 130u);
    EXPECT_FALSE(ExpiredAt(seconds(240)));
}

TEST_F(TransferWatchTest, LimitsOfZeroAreOff) {
    TeskLibCurlLimits limits;
    limits.lIdleTimeoutMs = 0;
    limits.lRateWindowMs = 0;
    limits.lTotalTimeoutMs = 0;
    Begin(limits);
    EXPECT_FALSE(ExpiredAt(std::chrono::hours(48)));
    EXPECT_EQ(m_watch.MsUntilNextCheck(m_start), 1000);
    EXPECT_EQ(m_watch.SampleCount(), 1u);
}

}  // namespace
