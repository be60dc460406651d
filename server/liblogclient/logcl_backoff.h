// Back-off of the trace delivery: once the log server has let a record miss
// its deadline, or has spent the trace's waiting budget on slow deliveries,
// the records that follow are dropped at once for a while, so that a slow
// or stuck server costs a bounded share of the service's time and not one
// wait per trace line (docs/peer-bounds.md). The drops are counted and
// reported once delivery works again.
#pragma once

#include <windows.h>

#include "CPipeClient.h"
#include "Locks.h"

// A record is dropped without a connection for this long after a miss.
constexpr DWORD kTraceBackoffMs = 10000;
// What a delivery may take before its waiting is charged: the time beyond
// it is charged to the waiting budget of the thread that waited. A healthy
// local server takes a record in about a quarter of a millisecond; this
// leaves room for a loaded machine and a server busy with other clients.
constexpr DWORD kTraceHealthyDeliveryMs = 100;
// Each thread's waiting budget: at most this much charged waiting before a
// back-off, refilled at one millisecond per kTraceBudgetRefillDivisor
// milliseconds of wall time (5 %), so a full back-off period refills it.
constexpr DWORD kTraceWaitBudgetMs = 500;
constexpr DWORD kTraceBudgetRefillDivisor = 20;

// Delivers one record; true when it was written whole. *missedDeadline
// says whether a failure was a bound that ran out.
using LogRecordDelivery = bool (*)(const wchar_t* command, bool* missedDeadline);

// Bounds, clock and delivery of the trace. A seam for tests, which shorten
// the bounds, move time and script the server's answers instead of waiting
// seconds; product code never changes it.
struct LogDeliverySeam {
    ULONGLONG (*pfnNow)();         // GetTickCount64
    PipeWaitBounds bounds;         // kTracePipeBounds
    DWORD backoffMs;               // kTraceBackoffMs
    DWORD healthyDeliveryMs;       // kTraceHealthyDeliveryMs
    DWORD waitBudgetMs;            // kTraceWaitBudgetMs
    LogRecordDelivery pfnDeliver;  // one connection on Log_ServerNamePipe
};
extern LogDeliverySeam g_logDeliverySeam;

// Records dropped since `firstDropTick` (the seam's clock), not yet reported.
// 64 bits each: neither the count nor the duration can wrap.
struct DroppedRecords {
    ULONGLONG count;
    ULONGLONG firstDropTick;
};

class CLogBackoff {
public:
    enum class Admission { Deliver, Probe, Drop };

    // Deliver: no trouble. Probe: the first try after a back-off, or the
    // record that carries a report left over (others are dropped while it
    // runs). Drop: do not connect; the caller counts it with CountDropped
    // unless it is the report itself.
    Admission Admit();
    void CountDropped();
    // The cheap early form for a caller that has not built its record yet:
    // true (and counted) when Admit would drop; never claims the probe.
    bool DropIfBackingOff();

    // Outcome of a record that was admitted; `startTick` is when its
    // delivery began. The time a delivery took beyond the healthy one is
    // charged to the waiting budget, and a spent budget starts a back-off. A probe
    // that gets through ends the back-off and hands over what was dropped,
    // for the caller to report (count 0: nothing to report).
    DroppedRecords Delivered(Admission admission, ULONGLONG startTick);
    // `countRecord`: the record was a caller's (not the report) and counts
    // as dropped.
    void MissedDeadline(Admission admission, ULONGLONG startTick, bool countRecord);
    void Failed(Admission admission);
    // A report that could not be delivered: its count and start go back, to
    // be added to the next report.
    void CarryForward(const DroppedRecords& report);

private:
    bool InBackoff(ULONGLONG now) const { return now < m_backoffUntil || m_bProbing; }
    void CountOne(ULONGLONG tick);
    // Charges `waitedMs` to the calling thread's budget; true when it is
    // spent. Per thread: threads that share a busy server each wait their
    // turn, and one thread's share of its own time is what is bounded.
    static bool Charge(ULONGLONG now, ULONGLONG waitedMs);
    void StartBackoff(ULONGLONG now);

    // Read without the lock on every record: 0 while there is nothing to do.
    volatile LONG m_bTroubled = 0;
    UTIL::CStvSRWLock m_lock;
    ULONGLONG m_backoffUntil = 0;
    bool m_bProbing = false;
    ULONGLONG m_dropped = 0;
    ULONGLONG m_firstDropTick = 0;
};

// The process's one back-off, shared by every thread that traces.
CLogBackoff& LogBackoff();
