#include "Locks.h"

namespace UTIL {

CSingletonLocker::CSingletonLocker() {
    InitializeCriticalSection(&m_cs);
}
CSingletonLocker::~CSingletonLocker() {
    DeleteCriticalSection(&m_cs);
}

CAutoSingletonLocker::CAutoSingletonLocker(CSingletonLocker& locker) : m_pLocker(&locker) {
    EnterCriticalSection(m_pLocker->get());
}
CAutoSingletonLocker::~CAutoSingletonLocker() {
    LeaveCriticalSection(m_pLocker->get());
}

namespace {
CSingletonLocker g_singletonLocker;
}

CSingletonLocker& GlobalSingletonLocker() {
    return g_singletonLocker;
}

CStvSRWLock::CStvSRWLock() {
    InitializeSRWLock(&m_lock);
}

CSharedSRWGuard::CSharedSRWGuard(CStvSRWLock& lock) : m_pLock(&lock) {
    AcquireSRWLockShared(m_pLock->get());
}
CSharedSRWGuard::~CSharedSRWGuard() {
    ReleaseSRWLockShared(m_pLock->get());
}

CExclusiveSRWGuard::CExclusiveSRWGuard(CStvSRWLock& lock) : m_pLock(&lock) {
    AcquireSRWLockExclusive(m_pLock->get());
}
CExclusiveSRWGuard::~CExclusiveSRWGuard() {
    ReleaseSRWLockExclusive(m_pLock->get());
}

}  // namespace UTIL

CCriticalSectionLocker::CCriticalSectionLocker() {
    InitializeCriticalSection(&m_cs);
}
CCriticalSectionLocker::~CCriticalSectionLocker() {
    DeleteCriticalSection(&m_cs);
}

CAutoCriticalSectionLocker::CAutoCriticalSectionLocker(CCriticalSectionLocker& locker)
    : m_pLocker(&locker) {
    EnterCriticalSection(m_pLocker->get());
}
CAutoCriticalSectionLocker::~CAutoCriticalSectionLocker() {
    LeaveCriticalSection(m_pLocker->get());
}

CSLock::CSLock() {
    InitializeCriticalSection(&m_cs);
}
CSLock::~CSLock() {
    DeleteCriticalSection(&m_cs);
}

namespace {
CSLock g_csLock;
}

CSLock& GlobalCSLock() {
    return g_csLock;
}
