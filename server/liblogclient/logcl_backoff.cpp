#include "logcl_backoff.h"

LogDeliverySeam g_logDeliverySeam = {::GetTickCount64, kTracePipeBounds, kTraceBackoffMs};

CLogBackoff& LogBackoff() {
    static CLogBackoff backoff;
    return backoff;
}

CLogBackoff::Admission CLogBackoff::Admit() {
    if (!m_bTroubled) return Admission::Deliver;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    if (!m_bTroubled) return Admission::Deliver;
    if (InBackoff(g_logDeliverySeam.pfnNow())) {
        ++m_dropped;
        return Admission::Drop;
    }
    m_bProbing = true;
    return Admission::Probe;
}

bool CLogBackoff::DropIfBackingOff() {
    if (!m_bTroubled) return false;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    if (!m_bTroubled || !InBackoff(g_logDeliverySeam.pfnNow())) return false;
    ++m_dropped;
    return true;
}

// Only the probe ends a back-off: a record admitted before another one
// missed its deadline says nothing about the server now.
DroppedRecords CLogBackoff::Delivered(Admission admission) {
    if (admission != Admission::Probe) return {0, 0};
    UTIL::CExclusiveSRWGuard guard(m_lock);
    const DroppedRecords dropped{m_dropped,
                                 static_cast<int>(g_logDeliverySeam.pfnNow() - m_firstDropTick)};
    m_bProbing = false;
    m_dropped = 0;
    m_backoffUntil = 0;
    m_bTroubled = 0;
    return dropped;
}

void CLogBackoff::MissedDeadline(Admission admission, ULONGLONG startTick) {
    UTIL::CExclusiveSRWGuard guard(m_lock);
    if (m_dropped++ == 0) m_firstDropTick = startTick;
    m_backoffUntil = g_logDeliverySeam.pfnNow() + g_logDeliverySeam.backoffMs;
    if (admission == Admission::Probe) m_bProbing = false;
    m_bTroubled = 1;
}

// Not a missed deadline (no server, a broken connection): no back-off; a
// probe's count waits for the next record that gets through.
void CLogBackoff::Failed(Admission admission) {
    if (admission != Admission::Probe) return;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    m_bProbing = false;
}
