#include "Locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// True when another thread can enter the critical section right now.
bool OtherThreadCanEnter(CRITICAL_SECTION* cs) {
    bool entered = false;
    std::thread probe([&] {
        entered = TryEnterCriticalSection(cs) != FALSE;
        if (entered) LeaveCriticalSection(cs);
    });
    probe.join();
    return entered;
}

void ThrowUnderGuard(CCriticalSectionLocker& locker) {
    CAutoCriticalSectionLocker guard(locker);
    EXPECT_FALSE(OtherThreadCanEnter(locker.get()));
    throw std::runtime_error("protected code failed");
}

TEST(Locks, GuardLeavesCriticalSectionOnException) {
    CCriticalSectionLocker locker;
    EXPECT_THROW(ThrowUnderGuard(locker), std::runtime_error);
    EXPECT_TRUE(OtherThreadCanEnter(locker.get()));
}

TEST(Locks, SingletonGuardLeavesOnException) {
    UTIL::CSingletonLocker locker;
    try {
        UTIL::CAutoSingletonLocker guard(locker);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(OtherThreadCanEnter(locker.get()));
}

TEST(Locks, ExclusiveGuardReleasesOnException) {
    UTIL::CStvSRWLock lock;
    try {
        UTIL::CExclusiveSRWGuard guard(lock);
        EXPECT_FALSE(TryAcquireSRWLockShared(lock.get()));
        throw 1;
    } catch (int) {
    }
    ASSERT_TRUE(TryAcquireSRWLockExclusive(lock.get()));
    ReleaseSRWLockExclusive(lock.get());
}

std::atomic<int> g_constructions{0};
std::atomic<bool> g_builtUnderGlobalLock{false};

// What the accessor adds to a thread-safe static: the instance is built
// while the global singleton locker is held, so no other thread holding that
// locker (another singleton's construction) runs at the same time.
bool GlobalLockHeldElsewhere() {
    bool entered = false;
    std::thread probe([&] {
        entered = TryEnterCriticalSection(UTIL::GlobalSingletonLocker().get()) != FALSE;
        if (entered) LeaveCriticalSection(UTIL::GlobalSingletonLocker().get());
    });
    probe.join();
    return !entered;
}

struct CSlowInstance {
    CSlowInstance() {
        ++g_constructions;
        g_builtUnderGlobalLock = GlobalLockHeldElsewhere();
        Sleep(50);  // widen the race window
    }
};

CSlowInstance* volatile g_pSlowInstance = nullptr;

TEST(Locks, RacingLazyAccessorsConstructOnce) {
    constexpr int kThreads = 8;
    std::vector<CSlowInstance*> results(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            results[i] = UTIL::LazySingleInstance(g_pSlowInstance);
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, g_constructions.load());
    EXPECT_TRUE(g_builtUnderGlobalLock.load());
    for (auto* p : results) EXPECT_EQ(results[0], p);
    EXPECT_NE(nullptr, results[0]);
}

}  // namespace

namespace {

bool OtherThreadCanShare(UTIL::CStvSRWLock& lock) {
    bool acquired = false;
    std::thread probe([&] {
        acquired = TryAcquireSRWLockShared(lock.get()) != FALSE;
        if (acquired) ReleaseSRWLockShared(lock.get());
    });
    probe.join();
    return acquired;
}

TEST(ReadMostly, HitUnderSharedLockSkipsExclusiveAndSource) {
    UTIL::CStvSRWLock lock;
    int lookUps = 0;
    int sourceReads = 0;
    int value = UTIL::ReadMostly<int>(
        lock,
        [&](int& v) {
            ++lookUps;
            EXPECT_TRUE(OtherThreadCanShare(lock));  // shared, not exclusive
            v = 42;
            return true;
        },
        [&](int&) { ++sourceReads; });
    EXPECT_EQ(42, value);
    EXPECT_EQ(1, lookUps);
    EXPECT_EQ(0, sourceReads);
}

TEST(ReadMostly, MissFilledBeforeExclusiveLockIsNotReadAgain) {
    UTIL::CStvSRWLock lock;
    int lookUps = 0;
    int sourceReads = 0;
    bool filledByOtherThread = false;
    int value = UTIL::ReadMostly<int>(
        lock,
        [&](int& v) {
            ++lookUps;
            if (!filledByOtherThread) {
                // Another thread refreshes the entry once our shared hold ends.
                filledByOtherThread = true;
                return false;
            }
            EXPECT_FALSE(OtherThreadCanShare(lock));  // second look is exclusive
            v = 7;
            return true;
        },
        [&](int& v) {
            ++sourceReads;
            v = -1;
        });
    EXPECT_EQ(7, value);
    EXPECT_EQ(2, lookUps);
    EXPECT_EQ(0, sourceReads);
}

TEST(ReadMostly, MissReadsSourceOnceUnderExclusiveLock) {
    UTIL::CStvSRWLock lock;
    int sourceReads = 0;
    int value = UTIL::ReadMostly<int>(
        lock, [](int&) { return false; },
        [&](int& v) {
            ++sourceReads;
            EXPECT_FALSE(OtherThreadCanShare(lock));
            v = 3;
        });
    EXPECT_EQ(3, value);
    EXPECT_EQ(1, sourceReads);
}

}  // namespace
