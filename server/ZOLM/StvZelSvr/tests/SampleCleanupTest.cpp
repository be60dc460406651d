#include "zel_StvFcgi.h"

#include <gtest/gtest.h>

namespace {

__time64_t g_now = 0;
__time64_t FakeNow() { return g_now; }
bool DropTrace(int, const wchar_t*, int, const wchar_t*, ...) { return true; }

__time64_t LocalAt(int hour, int minute, int second) {
    tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return _mktime64(&t);
}

class SampleCleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedNow = TimerInfo::s_pfnNow;
        m_savedTrace = TimerInfo::s_pfnTrace;
        TimerInfo::s_pfnNow = FakeNow;
        TimerInfo::s_pfnTrace = DropTrace;
    }
    void TearDown() override {
        TimerInfo::s_pfnNow = m_savedNow;
        TimerInfo::s_pfnTrace = m_savedTrace;
    }

private:
    TimerInfo::TimeSource m_savedNow = nullptr;
    TimerInfo::TraceSink m_savedTrace = nullptr;
};

}  // namespace

TEST(CleanupInterval, BothZeroMeansEveryThirtyMinutesOtherValuesStand) {
    EXPECT_EQ(MakeCleanupInterval(0, 0).hour, 0);
    EXPECT_EQ(MakeCleanupInterval(0, 0).minute, 30);
    EXPECT_EQ(MakeCleanupInterval(0, 45).minute, 45);
    EXPECT_EQ(MakeCleanupInterval(1, 0).hour, 1);
    EXPECT_EQ(MakeCleanupInterval(1, 0).minute, 0);
    EXPECT_EQ(MakeCleanupInterval(-1, 0).hour, -1);
}

// The module profile is not bound here, so the defaults (one hour) apply.
TEST_F(SampleCleanupTest, WithoutSettingsTheFirstCleanupIsDueOneHourAfterCreation) {
    g_now = LocalAt(10, 0, 30);
    ZelSampleCleanup task;
    g_now = LocalAt(10, 1, 0);
    EXPECT_FALSE(task.checkTimer());
    g_now = LocalAt(10, 59, 59);
    EXPECT_FALSE(task.checkTimer());
    g_now = LocalAt(11, 0, 0);
    EXPECT_TRUE(task.checkTimer());
}

TEST_F(SampleCleanupTest, ACheckInTheSecondOfCreationIsDue) {
    g_now = LocalAt(10, 0, 30);
    ZelSampleCleanup task;
    EXPECT_TRUE(task.checkTimer());
}
