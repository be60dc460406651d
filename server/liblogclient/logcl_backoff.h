// Back-off of the trace delivery: once the log server has let a record miss
// its deadline, the records that follow are dropped at once for a while, so
// that a stuck server costs one deadline per back-off period and not one per
// trace line. The drops are counted and reported once delivery works again.
#pragma once

#include <windows.h>

#include "CPipeClient.h"
#include "Locks.h"

// A record is dropped without a connection for this long after a miss.
constexpr DWORD kTraceBackoffMs = 10000;

// Bounds and clock of the trace delivery. A seam for tests, which shorten
// the bounds and move time instead of waiting seconds; product code never
// changes it.
struct LogDeliverySeam {
    ULONGLONG (*pfnNow)();  // GetTickCount64
    PipeWaitBounds bounds;  // kTracePipeBounds
    DWORD backoffMs;        // kTraceBackoffMs
};
extern LogDeliverySeam g_logDeliverySeam;

// What became of the records dropped before a record got through again.
struct DroppedRecords {
    int count;
    int milliseconds;  // from the start of the first missed one until now
};

class CLogBackoff {
public:
    enum class Admission { Deliver, Probe, Drop };

    // Deliver: no trouble. Probe: the first try after a back-off (others are
    // dropped while it runs). Drop: counted, do not connect.
    Admission Admit();
    // The cheap early form for a caller that has not built its record yet:
    // true (and counted) when Admit would drop; never claims the probe.
    bool DropIfBackingOff();

    // Outcome of a record that was admitted. `startTick` is when its
    // delivery began (from the seam's clock).
    DroppedRecords Delivered(Admission admission);
    void MissedDeadline(Admission admission, ULONGLONG startTick);
    void Failed(Admission admission);

private:
    bool InBackoff(ULONGLONG now) const { return now < m_backoffUntil || m_bProbing; }

    // Read without the lock on every record: 0 while nothing was dropped.
    volatile LONG m_bTroubled = 0;
    UTIL::CStvSRWLock m_lock;
    ULONGLONG m_backoffUntil = 0;
    bool m_bProbing = false;
    int m_dropped = 0;
    ULONGLONG m_firstDropTick = 0;
};

// The process's one back-off, shared by every thread that traces.
CLogBackoff& LogBackoff();
