#include "logcl_backoff.h"

CLogBackoff& LogBackoff() {
    static CLogBackoff backoff;
    return backoff;
}

CLogBackoff::Admission CLogBackoff::Admit() {
    if (!m_bTroubled) return Admission::Deliver;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    if (!m_bTroubled) return Admission::Deliver;
    if (InBackoff(g_logDeliverySeam.pfnNow())) return Admission::Drop;
    m_bProbing = true;
    return Admission::Probe;
}

void CLogBackoff::CountDropped() {
    UTIL::CExclusiveSRWGuard guard(m_lock);
    CountOne(g_logDeliverySeam.pfnNow());
}

bool CLogBackoff::DropIfBackingOff() {
    if (!m_bTroubled) return false;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    const ULONGLONG now = g_logDeliverySeam.pfnNow();
    if (!m_bTroubled || !InBackoff(now)) return false;
    CountOne(now);
    return true;
}

void CLogBackoff::CountOne(ULONGLONG tick) {
    if (m_dropped++ == 0) m_firstDropTick = tick;
    m_bTroubled = 1;
}

// The budget refills at 1 ms per kTraceBudgetRefillDivisor ms of wall time;
// the remainder of a refill is kept for the next one.
bool CLogBackoff::Charge(ULONGLONG now, ULONGLONG waitedMs) {
    // Charged waiting not yet refilled, and when it was last refilled.
    thread_local ULONGLONG t_spentMs = 0;
    thread_local ULONGLONG t_refilledTick = 0;
    const ULONGLONG refill = (now - t_refilledTick) / kTraceBudgetRefillDivisor;
    t_refilledTick += refill * kTraceBudgetRefillDivisor;
    t_spentMs = refill >= t_spentMs ? 0 : t_spentMs - refill;
    t_spentMs += waitedMs;
    return t_spentMs >= g_logDeliverySeam.waitBudgetMs;
}

void CLogBackoff::StartBackoff(ULONGLONG now) {
    m_backoffUntil = now + g_logDeliverySeam.backoffMs;
    m_bTroubled = 1;
}

// Only the probe ends a back-off: a record admitted before another one
// missed its deadline says nothing about the server now.
DroppedRecords CLogBackoff::Delivered(Admission admission, ULONGLONG startTick) {
    const ULONGLONG now = g_logDeliverySeam.pfnNow();
    const ULONGLONG waited = now - startTick;
    const ULONGLONG healthy = g_logDeliverySeam.healthyDeliveryMs;
    const bool slow = waited > healthy;
    if (admission != Admission::Probe && !slow) return {0, 0};
    UTIL::CExclusiveSRWGuard guard(m_lock);
    const bool budgetSpent = slow && Charge(now, waited - healthy);
    if (admission != Admission::Probe) {
        if (budgetSpent) StartBackoff(now);
        return {0, 0};
    }
    m_bProbing = false;
    // A slow probe says the server is still slow: the back-off goes on, and
    // the count waits for a probe that is healthy.
    if (slow) {
        StartBackoff(now);
        return {0, 0};
    }
    const DroppedRecords dropped{m_dropped, m_firstDropTick};
    m_dropped = 0;
    m_backoffUntil = 0;
    m_bTroubled = 0;
    return dropped;
}

void CLogBackoff::MissedDeadline(Admission admission, ULONGLONG startTick, bool countRecord) {
    UTIL::CExclusiveSRWGuard guard(m_lock);
    const ULONGLONG now = g_logDeliverySeam.pfnNow();
    const ULONGLONG waited = now - startTick;
    const ULONGLONG healthy = g_logDeliverySeam.healthyDeliveryMs;
    Charge(now, waited > healthy ? waited - healthy : 0);
    if (countRecord) CountOne(startTick);
    StartBackoff(now);
    if (admission == Admission::Probe) m_bProbing = false;
}

// Not a missed deadline (no server, a broken connection): no back-off; a
// probe's count waits for the next record that gets through.
void CLogBackoff::Failed(Admission admission) {
    if (admission != Admission::Probe) return;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    m_bProbing = false;
}

void CLogBackoff::CarryForward(const DroppedRecords& report) {
    if (report.count == 0) return;
    UTIL::CExclusiveSRWGuard guard(m_lock);
    // The carried records were dropped before any counted since.
    if (m_dropped == 0 || report.firstDropTick < m_firstDropTick) {
        m_firstDropTick = report.firstDropTick;
    }
    m_dropped += report.count;
    m_bTroubled = 1;
}
