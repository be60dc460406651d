// Schedule timer: decides once per pass whether a maintenance task is due,
// from minute-resolution stamps of the previous check, the current check and
// the due time, with an optional random lag before the task runs.
#pragma once

#include <windows.h>

#include <ctime>

class TimerInfo {
public:
    // Seams for tests that must move the clock or read the trace lines.
    using TimeSource = __time64_t (*)();
    using TraceSink = bool (*)(int, const wchar_t*, int, const wchar_t*, ...);
    static TimeSource s_pfnNow;
    static TraceSink s_pfnTrace;

    TimerInfo();
    virtual ~TimerInfo() = default;
    virtual bool isTimeup();
    virtual bool checkTimer();
    virtual void loadSchedule() {}
    virtual void runTask() {}
    virtual void afterRun() {}
    virtual void onCountdownBegin() {}
    virtual bool isBusy() { return false; }

protected:
    __time64_t m_previousCheck;
    __time64_t m_currentCheck;
    __time64_t m_lastRun;
    bool m_enabled;
    int m_kind;
    int m_dayOfMonth;
    int m_dayOfWeek;
    int m_lagHours;
    int m_hour;
    int m_minute;
    int m_days;
    bool m_countdownActive;
    __time64_t m_countdownDeadline;
    int m_lagSeconds;

private:
    struct DueTime {
        int year, month, day, hour, minute;
    };
    bool DueComponents(const tm& tp, const tm& tn, DueTime& due);
    bool Decide(const wchar_t* start, const wchar_t* purge, const wchar_t* end, const tm& tn);
    __time64_t IntervalBase(__time64_t interval) const;
    bool CountdownCheck();
};

// Base time of the interval kinds: last run plus the interval while the last
// run lies before the check, else the check's own time; never below 0.
__time64_t IntervalDueTime(__time64_t lastRun, __time64_t check, __time64_t interval);

// Calls runTask then afterRun when the task is due and not busy.
void runIfDue(TimerInfo* task);
