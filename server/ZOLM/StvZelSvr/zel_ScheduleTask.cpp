#include "zel_ScheduleTask.h"

#include <cstdlib>
#include <cwchar>

#include "DebugTrace.h"

namespace {

constexpr int kStampChars = 15;

__time64_t PlatformNow() {
    return _time64(nullptr);
}

// The calendar ends with the year 2999 here: a later time (a huge interval
// from the settings) stays in that year instead of failing the conversion,
// whose zeroed result would lie in 1900 and make the task due at once.
constexpr __time64_t kLatestCalendarTime = 32503680000LL - 2 * 86400;  // 2999-12-30 UTC

tm LocalTime(__time64_t t) {
    if (t > kLatestCalendarTime) t = kLatestCalendarTime;
    tm calendar{};
    _localtime64_s(&calendar, &t);
    return calendar;
}

void FormatStamp(wchar_t (&stamp)[kStampChars], int year, int month, int day, int hour,
                 int minute) {
    _snwprintf(stamp, kStampChars - 1, L"%.4d%.2d%.2d%.2d%.2d00", year, month, day, hour, minute);
    stamp[kStampChars - 1] = L'\0';
}

void FormatStamp(wchar_t (&stamp)[kStampChars], const tm& t) {
    FormatStamp(stamp, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min);
}

}  // namespace

TimerInfo::TimeSource TimerInfo::s_pfnNow = PlatformNow;
TimerInfo::TraceSink TimerInfo::s_pfnTrace = DebugTraceW;

TimerInfo::TimerInfo()
    : m_previousCheck(0),
      m_currentCheck(0),
      m_lastRun(0),
      m_enabled(false),
      m_kind(0),
      m_dayOfMonth(0),
      m_dayOfWeek(0),
      m_lagHours(0),
      m_hour(0),
      m_minute(0),
      m_days(0),
      m_countdownActive(false),
      m_countdownDeadline(0),
      m_lagSeconds(0) {
    m_previousCheck = m_currentCheck = s_pfnNow();
}

// A clock set back (last run not before the check) makes the task due.
__time64_t IntervalDueTime(__time64_t lastRun, __time64_t check, __time64_t interval) {
    const __time64_t t = lastRun < check ? lastRun + interval : check;
    return t < 0 ? 0 : t;
}

__time64_t TimerInfo::IntervalBase(__time64_t interval) const {
    return IntervalDueTime(m_lastRun, m_currentCheck, interval);
}

bool TimerInfo::DueComponents(const tm& tp, const tm& tn, DueTime& due) {
    auto dateOf = [&due](const tm& t) {
        due.year = t.tm_year + 1900;
        due.month = t.tm_mon + 1;
        due.day = t.tm_mday;
    };
    auto allOf = [&](__time64_t t) {
        tm c = LocalTime(t);
        dateOf(c);
        due.hour = c.tm_hour;
        due.minute = c.tm_min;
    };
    due.hour = m_hour;
    due.minute = m_minute;
    switch (m_kind) {
        case 1:
        case 2: {
            const bool weekly = m_kind == 2;
            const int wanted = weekly ? m_dayOfWeek : m_dayOfMonth;
            if ((weekly ? tp.tm_wday : tp.tm_mday) == wanted)
                dateOf(tp);
            else if ((weekly ? tn.tm_wday : tn.tm_mday) == wanted)
                dateOf(tn);
            else
                return false;
            return true;
        }
        case 3:
        case 5:
            if (m_hour == 0 && m_minute == 0)
                m_hour = 24;  // midnight is hour 24 of the previous day
            dateOf(tp);
            due.hour = m_hour;
            return true;
        case 4:
            dateOf(tn);
            due.hour = tn.tm_hour;
            return true;
        case 6:
            allOf(IntervalBase(static_cast<__time64_t>(m_minute) * 60));
            return true;
        case 7:
            allOf(IntervalBase(static_cast<__time64_t>(m_hour) * 3600 +
                               static_cast<__time64_t>(m_minute) * 60));
            return true;
        case 8:
            dateOf(LocalTime(IntervalBase(static_cast<__time64_t>(m_days) * 86400)));
            return true;
        case 9: {
            __time64_t t;
            if (m_lastRun < m_currentCheck)
                t = m_lastRun + static_cast<__time64_t>(m_hour) * 3600;
            else if (tn.tm_min > m_minute)
                t = m_currentCheck + static_cast<__time64_t>(m_hour) * 3600;
            else
                t = m_currentCheck;
            tm c = LocalTime(t < 0 ? 0 : t);
            dateOf(c);
            due.hour = c.tm_hour;
            return true;
        }
        default:
            return false;
    }
}

bool TimerInfo::Decide(const wchar_t* start, const wchar_t* purge, const wchar_t* end,
                       const tm& tn) {
    wchar_t again[kStampChars] = {};
    switch (m_kind) {
        case 7:
            if (wcscmp(start, purge) >= 0) return true;
            break;
        case 8:
            if (wcscmp(start, purge) >= 0) {
                FormatStamp(again, tn.tm_year + 1900, tn.tm_mon + 1, tn.tm_mday, m_hour, m_minute);
                purge = again;
            }
            break;
        case 9:
            if (wcscmp(end, purge) < 0) return false;
            return tn.tm_min == m_minute;
        default:
            break;
    }
    return wcscmp(start, purge) < 0 && wcscmp(purge, end) <= 0;
}

bool TimerInfo::isTimeup() {
    m_currentCheck = s_pfnNow();
    const tm tp = LocalTime(m_previousCheck);
    const tm tn = LocalTime(m_currentCheck);
    m_previousCheck = m_currentCheck;
    if (!m_enabled) return false;

    DueTime due{};
    if (!DueComponents(tp, tn, due)) return false;
    wchar_t purge[kStampChars] = {};
    wchar_t start[kStampChars] = {};
    wchar_t end[kStampChars] = {};
    FormatStamp(purge, due.year, due.month, due.day, due.hour, due.minute);
    FormatStamp(start, tp);
    FormatStamp(end, tn);
    s_pfnTrace('D', TRACE_SRC_W, L"%s - startTime=%s purgeTime=%s endTime=%s",
               L"TimerInfo::isTimeup", start, purge, end);
    return Decide(start, purge, end, tn);
}

bool TimerInfo::CountdownCheck() {
    const __time64_t now = s_pfnNow();
    if (now >= m_countdownDeadline) {
        m_countdownActive = false;
        s_pfnTrace('D', TRACE_SRC_W, L"%s - finish countdown. timer trigger.",
                   L"TimerInfo::checkTimer");
        return true;
    }
    const int remain = static_cast<int>(m_countdownDeadline - now);
    s_pfnTrace('D', TRACE_SRC_W, L"%s - countdown. remain [%d:%d].", L"TimerInfo::checkTimer",
               remain / 60, remain % 60);
    return false;
}

bool TimerInfo::checkTimer() {
    loadSchedule();
    if (m_lagHours <= 0 || m_kind == 4) return isTimeup();
    if (m_countdownActive) return CountdownCheck();
    if (!isTimeup()) return false;
    const __time64_t now = s_pfnNow();
    srand(static_cast<unsigned int>(now));
    m_lagSeconds = rand() % (m_lagHours * 3600);
    m_countdownDeadline = now + m_lagSeconds;
    m_countdownActive = true;
    s_pfnTrace('D', TRACE_SRC_W, L"%s - begin countdown: lagged time=[%d:%d]",
               L"TimerInfo::checkTimer", m_lagSeconds / 60, m_lagSeconds % 60);
    onCountdownBegin();
    return false;
}

void runIfDue(TimerInfo* task) {
    if (task->checkTimer() && !task->isBusy()) {
        task->runTask();
        task->afterRun();
    }
}
