// Critical-section and slim reader/writer locks with scoped guards.
// Each locker owns its primitive (initialised in the constructor, deleted in
// the destructor); each guard holds its lock for exactly its own scope.
#pragma once

#include <windows.h>

namespace UTIL {

class CNonCopyable {
public:
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;

protected:
    CNonCopyable() = default;
    virtual ~CNonCopyable() = default;
};

class CSingletonLocker : public CNonCopyable {
public:
    CSingletonLocker();
    ~CSingletonLocker() override;
    CRITICAL_SECTION* get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

class CAutoSingletonLocker : public CNonCopyable {
public:
    explicit CAutoSingletonLocker(CSingletonLocker& locker);
    ~CAutoSingletonLocker() override;

private:
    CSingletonLocker* m_pLocker;
};

// Serialises lazy creation of process-wide single instances.
CSingletonLocker& GlobalSingletonLocker();

class CStvSRWLock {
public:
    CStvSRWLock();
    virtual ~CStvSRWLock() = default;
    CStvSRWLock(const CStvSRWLock&) = delete;
    CStvSRWLock& operator=(const CStvSRWLock&) = delete;
    SRWLOCK* get() { return &m_lock; }

private:
    SRWLOCK m_lock;
};

class CSharedSRWGuard {
public:
    explicit CSharedSRWGuard(CStvSRWLock& lock);
    ~CSharedSRWGuard();
    CSharedSRWGuard(const CSharedSRWGuard&) = delete;
    CSharedSRWGuard& operator=(const CSharedSRWGuard&) = delete;

private:
    CStvSRWLock* m_pLock;
};

class CExclusiveSRWGuard {
public:
    explicit CExclusiveSRWGuard(CStvSRWLock& lock);
    ~CExclusiveSRWGuard();
    CExclusiveSRWGuard(const CExclusiveSRWGuard&) = delete;
    CExclusiveSRWGuard& operator=(const CExclusiveSRWGuard&) = delete;

private:
    CStvSRWLock* m_pLock;
};

// Read-mostly lookup: look up under the shared lock; on a miss release it,
// take the lock exclusively and look again (another thread may have filled
// the entry meanwhile) before reading the source. lookUp(value) -> bool,
// readSource(value) stores and returns the fresh value.
template <typename Value, typename LookUp, typename ReadSource>
Value ReadMostly(CStvSRWLock& lock, LookUp lookUp, ReadSource readSource) {
    Value value{};
    {
        CSharedSRWGuard shared(lock);
        if (lookUp(value)) return value;
    }
    CExclusiveSRWGuard exclusive(lock);
    if (!lookUp(value)) readSource(value);
    return value;
}

// Lazy single instance: unlocked fast path, then a second look under the
// global singleton locker so that racing callers construct once.
template <typename T>
T* LazySingleInstance(T* volatile& pInstance) {
    T* pCurrent = pInstance;
    if (pCurrent != nullptr) return pCurrent;
    CAutoSingletonLocker guard(GlobalSingletonLocker());
    if (pInstance == nullptr) {
        static T instance;  // destroyed at process exit
        pInstance = &instance;
    }
    return pInstance;
}

}  // namespace UTIL

class CNonCopyable {
public:
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;

protected:
    CNonCopyable() = default;
    virtual ~CNonCopyable() = default;
};

class CCriticalSectionLocker : public CNonCopyable {
public:
    CCriticalSectionLocker();
    ~CCriticalSectionLocker() override;
    CRITICAL_SECTION* get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

class CAutoCriticalSectionLocker : public CNonCopyable {
public:
    explicit CAutoCriticalSectionLocker(CCriticalSectionLocker& locker);
    ~CAutoCriticalSectionLocker() override;

private:
    CCriticalSectionLocker* m_pLocker;
};

class CSLock {
public:
    CSLock();
    virtual ~CSLock();
    CSLock(const CSLock&) = delete;
    CSLock& operator=(const CSLock&) = delete;
    CRITICAL_SECTION* get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Initialised at start and deleted at exit; nothing enters it.
CSLock& GlobalCSLock();
