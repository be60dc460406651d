#include "zel_ScheduleTask.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

__time64_t g_now = 0;
__time64_t FakeNow() {
    return g_now;
}

std::vector<std::wstring> g_traces;
bool CaptureTrace(int, const wchar_t*, int, const wchar_t* format, ...) {
    wchar_t line[512] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, 511, format, args);
    va_end(args);
    g_traces.emplace_back(line);
    return true;
}

__time64_t LocalAt(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return _mktime64(&t);
}

class CTestTimer : public TimerInfo {
public:
    CTestTimer(int kind, int hour, int minute) {
        m_enabled = true;
        m_kind = kind;
        m_hour = hour;
        m_minute = minute;
    }
    void SetLastRun(__time64_t t) { m_lastRun = t; }
    void SetLagHours(int hours) { m_lagHours = hours; }
    void SetDays(int days) { m_days = days; }
    void SetDayOfMonth(int day) { m_dayOfMonth = day; }
    void SetDayOfWeek(int day) { m_dayOfWeek = day; }
    int Hour() const { return m_hour; }
    int LagSeconds() const { return m_lagSeconds; }
    void runTask() override { ++runs; }
    void afterRun() override { ++afterRuns; }
    bool isBusy() override { return busy; }
    int runs = 0;
    int afterRuns = 0;
    bool busy = false;
};

class TimerInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        TimerInfo::s_pfnNow = FakeNow;
        TimerInfo::s_pfnTrace = CaptureTrace;
        g_traces.clear();
    }
    // A timer created at `created` and checked once at `checked`.
    static bool CheckedOnce(CTestTimer& timer, __time64_t checked) {
        g_now = checked;
        return timer.isTimeup();
    }
};

TEST_F(TimerInfoTest, IntervalKindIsDueOnceTheLastRunPlusIntervalIsReached) {
    g_now = LocalAt(2024, 3, 5, 10, 58, 0);
    CTestTimer due(7, 1, 0);
    due.SetLastRun(LocalAt(2024, 3, 5, 10, 0, 30));
    EXPECT_TRUE(CheckedOnce(due, LocalAt(2024, 3, 5, 11, 0, 5)));
    ASSERT_EQ(1u, g_traces.size());
    EXPECT_EQ(
        L"TimerInfo::isTimeup - startTime=20240305105800 purgeTime=20240305110000 "
        L"endTime=20240305110000",
        g_traces[0]);

    g_now = LocalAt(2024, 3, 5, 10, 58, 0);
    CTestTimer early(7, 1, 0);
    early.SetLastRun(LocalAt(2024, 3, 5, 10, 0, 30));
    EXPECT_FALSE(CheckedOnce(early, LocalAt(2024, 3, 5, 10, 59, 55)));
}

TEST_F(TimerInfoTest, IntervalKindWithLastRunNotEarlierThanNowIsDue) {
    const __time64_t now = LocalAt(2024, 3, 5, 10, 0, 30);
    g_now = now - 30;
    CTestTimer sameSecond(7, 1, 0);
    sameSecond.SetLastRun(now);
    EXPECT_TRUE(CheckedOnce(sameSecond, now));

    g_now = now - 30;
    CTestTimer clockSetBack(7, 1, 0);
    clockSetBack.SetLastRun(now + 3600);
    EXPECT_TRUE(CheckedOnce(clockSetBack, now));
}

TEST_F(TimerInfoTest, DailyMidnightBecomesHour24AndIsDueAfterMidnight) {
    g_now = LocalAt(2024, 3, 5, 23, 59, 10);
    CTestTimer midnight(3, 0, 0);
    EXPECT_FALSE(CheckedOnce(midnight, LocalAt(2024, 3, 5, 23, 59, 50)));
    EXPECT_EQ(24, midnight.Hour());
    EXPECT_TRUE(CheckedOnce(midnight, LocalAt(2024, 3, 6, 0, 0, 40)));
    EXPECT_NE(std::wstring::npos, g_traces.back().find(L"purgeTime=20240305240000"));
    EXPECT_FALSE(CheckedOnce(midnight, LocalAt(2024, 3, 6, 0, 1, 40)));
}

TEST_F(TimerInfoTest, DailyKindIsDueOnlyInTheWindowContainingItsTime) {
    g_now = LocalAt(2024, 3, 5, 1, 28, 0);
    CTestTimer daily(3, 1, 30);
    EXPECT_FALSE(CheckedOnce(daily, LocalAt(2024, 3, 5, 1, 29, 0)));
    EXPECT_TRUE(CheckedOnce(daily, LocalAt(2024, 3, 5, 1, 30, 0)));
    EXPECT_FALSE(CheckedOnce(daily, LocalAt(2024, 3, 5, 1, 31, 0)));
}

TEST_F(TimerInfoTest, MonthlyAndWeeklyKindsMatchTheirDay) {
    g_now = LocalAt(2024, 3, 5, 1, 59, 0);
    CTestTimer monthly(1, 2, 0);
    monthly.SetDayOfMonth(5);
    EXPECT_TRUE(CheckedOnce(monthly, LocalAt(2024, 3, 5, 2, 0, 0)));

    g_now = LocalAt(2024, 3, 5, 1, 59, 0);  // a Tuesday
    CTestTimer otherDay(1, 2, 0);
    otherDay.SetDayOfMonth(6);
    g_traces.clear();
    EXPECT_FALSE(CheckedOnce(otherDay, LocalAt(2024, 3, 5, 2, 0, 0)));
    EXPECT_TRUE(g_traces.empty());

    g_now = LocalAt(2024, 3, 5, 1, 59, 0);
    CTestTimer weekly(2, 2, 0);
    weekly.SetDayOfWeek(2);
    EXPECT_TRUE(CheckedOnce(weekly, LocalAt(2024, 3, 5, 2, 0, 0)));
}

TEST_F(TimerInfoTest, HourlyKindUsesTheCurrentHour) {
    g_now = LocalAt(2024, 3, 5, 7, 14, 0);
    CTestTimer hourly(4, 0, 15);
    EXPECT_TRUE(CheckedOnce(hourly, LocalAt(2024, 3, 5, 7, 15, 0)));
    EXPECT_FALSE(CheckedOnce(hourly, LocalAt(2024, 3, 5, 7, 16, 0)));
}

TEST_F(TimerInfoTest, MinuteIntervalKindIsDueAfterItsMinutes) {
    g_now = LocalAt(2024, 3, 5, 7, 8, 0);
    CTestTimer everyTen(6, 0, 10);
    everyTen.SetLastRun(LocalAt(2024, 3, 5, 7, 0, 0));
    EXPECT_FALSE(CheckedOnce(everyTen, LocalAt(2024, 3, 5, 7, 9, 0)));
    EXPECT_TRUE(CheckedOnce(everyTen, LocalAt(2024, 3, 5, 7, 10, 0)));
}

TEST_F(TimerInfoTest, DayIntervalKindIsDueAtItsTimeOnTheDay) {
    g_now = LocalAt(2024, 3, 7, 2, 59, 0);
    CTestTimer everyTwoDays(8, 3, 0);
    everyTwoDays.SetDays(2);
    everyTwoDays.SetLastRun(LocalAt(2024, 3, 5, 3, 0, 0));
    EXPECT_TRUE(CheckedOnce(everyTwoDays, LocalAt(2024, 3, 7, 3, 0, 0)));
    EXPECT_FALSE(CheckedOnce(everyTwoDays, LocalAt(2024, 3, 7, 3, 1, 0)));
}

// The due day passed without a check (the service was down): the due stamp
// is formed again on the check's day with the task's time, so the task runs
// at its time that day instead of never.
TEST_F(TimerInfoTest, DayIntervalKindPastItsDayIsDueAtItsTimeOnTheCheckDay) {
    g_now = LocalAt(2024, 3, 7, 2, 58, 0);
    CTestTimer daily(8, 3, 0);
    daily.SetDays(1);
    daily.SetLastRun(LocalAt(2024, 3, 5, 3, 0, 0));
    EXPECT_FALSE(CheckedOnce(daily, LocalAt(2024, 3, 7, 2, 59, 0)));
    EXPECT_EQ(g_traces.back(),
              L"TimerInfo::isTimeup - startTime=20240307025800 purgeTime=20240306030000 "
              L"endTime=20240307025900");
    EXPECT_TRUE(CheckedOnce(daily, LocalAt(2024, 3, 7, 3, 0, 0)));
    EXPECT_FALSE(CheckedOnce(daily, LocalAt(2024, 3, 7, 3, 1, 0)));
}

// Kind 9 with the last run not earlier than the check: the due hour is the
// current one, or the one `hour` hours on when the check's minute is already
// past the task's minute.
TEST_F(TimerInfoTest, HourIntervalAtMinuteKindWithoutAnEarlierRunUsesTheCheckTime) {
    struct Case {
        int checkMinute;
        const wchar_t* purgeTime;
        bool due;
    };
    for (const Case& c : {Case{25, L"20240305112000", false}, Case{20, L"20240305092000", true},
                          Case{19, L"20240305092000", false}}) {
        g_now = LocalAt(2024, 3, 5, 9, c.checkMinute - 1, 0);
        CTestTimer kind9(9, 2, 20);
        kind9.SetLastRun(LocalAt(2024, 3, 5, 12, 0, 0));
        EXPECT_EQ(CheckedOnce(kind9, LocalAt(2024, 3, 5, 9, c.checkMinute, 0)), c.due)
            << c.checkMinute;
        EXPECT_NE(g_traces.back().find(std::wstring(L"purgeTime=") + c.purgeTime),
                  std::wstring::npos)
            << c.checkMinute;
    }
}

TEST_F(TimerInfoTest, HourIntervalAtMinuteKindIsDueOnlyInItsMinute) {
    g_now = LocalAt(2024, 3, 5, 9, 0, 0);
    CTestTimer kind9(9, 2, 20);
    kind9.SetLastRun(LocalAt(2024, 3, 5, 7, 0, 0));
    EXPECT_FALSE(CheckedOnce(kind9, LocalAt(2024, 3, 5, 9, 19, 0)));
    EXPECT_TRUE(CheckedOnce(kind9, LocalAt(2024, 3, 5, 9, 20, 0)));
    EXPECT_FALSE(CheckedOnce(kind9, LocalAt(2024, 3, 5, 9, 21, 0)));
}

TEST_F(TimerInfoTest, LagCountdownDelaysTheRunAndTracesTheRemainingTime) {
    const __time64_t start = LocalAt(2024, 3, 5, 1, 29, 0);
    g_now = start;
    CTestTimer lagged(3, 1, 30);
    lagged.SetLagHours(2);
    g_now = LocalAt(2024, 3, 5, 1, 30, 0);
    EXPECT_FALSE(lagged.checkTimer());  // countdown begins
    // The runtime's generator seeded with the check time, one draw, modulo
    // the window of two hours.
    const __time64_t seed = LocalAt(2024, 3, 5, 1, 30, 0);
    srand(static_cast<unsigned int>(seed));
    const int expected = rand() % 7200;
    const int lag = lagged.LagSeconds();
    EXPECT_EQ(lag, expected);
    wchar_t begin[128];
    _snwprintf(begin, 127, L"TimerInfo::checkTimer - begin countdown: lagged time=[%d:%d]",
               lag / 60, lag % 60);
    EXPECT_EQ(begin, g_traces.back());

    // The seed is the fixed check time, so the draw is the same on every run.
    ASSERT_GT(lag, 125);
    g_now = LocalAt(2024, 3, 5, 1, 30, 0) + lag - 125;
    EXPECT_FALSE(lagged.checkTimer());
    EXPECT_EQ(L"TimerInfo::checkTimer - countdown. remain [2:5].", g_traces.back());
    g_now = LocalAt(2024, 3, 5, 1, 30, 0) + lag;
    EXPECT_TRUE(lagged.checkTimer());
    EXPECT_EQ(L"TimerInfo::checkTimer - finish countdown. timer trigger.", g_traces.back());
}

TEST_F(TimerInfoTest, PlainTimerIsNeverDueAndNeverTraces) {
    g_now = LocalAt(2024, 3, 5, 0, 0, 0);
    TimerInfo plain;
    for (int minute = 1; minute < 5; ++minute) {
        g_now += 60;
        EXPECT_FALSE(plain.checkTimer());
    }
    EXPECT_TRUE(g_traces.empty());
}

TEST_F(TimerInfoTest, RunIfDueRunsDueTaskUnlessBusy) {
    g_now = LocalAt(2024, 3, 5, 7, 14, 0);
    CTestTimer hourly(4, 0, 15);
    hourly.busy = true;
    g_now = LocalAt(2024, 3, 5, 7, 15, 0);
    runIfDue(&hourly);
    EXPECT_EQ(0, hourly.runs);
    hourly.busy = false;
    g_now = LocalAt(2024, 4, 5, 7, 15, 0);
    runIfDue(&hourly);
    EXPECT_EQ(1, hourly.runs);
    EXPECT_EQ(1, hourly.afterRuns);
}

}  // namespace
