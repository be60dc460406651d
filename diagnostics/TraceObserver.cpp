#include "TraceObserver.h"

#include <atomic>

namespace {

std::atomic<ITraceObserver*> g_pObserver{nullptr};

}  // namespace

CScopedTraceObserver::CScopedTraceObserver(ITraceObserver& observer)
    : m_pPrevious(g_pObserver.exchange(&observer)) {}

CScopedTraceObserver::~CScopedTraceObserver() {
    g_pObserver.store(m_pPrevious);
}

ITraceObserver* CurrentTraceObserver() {
    return g_pObserver.load();
}
