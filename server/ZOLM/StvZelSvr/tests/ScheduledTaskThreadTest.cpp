#include "zel_ServiceState.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "ProfileCache.h"

#include "UniqueHandle.h"

namespace {

UTIL::unique_handle g_passEntered;
UTIL::unique_handle g_passRelease;
std::atomic<int> g_passes{0};
std::atomic<int> g_destroyed{0};

// A task that is due on every pass and holds the pass until released.
class CBlockingTask : public TimerInfo {
public:
    ~CBlockingTask() override { ++g_destroyed; }
    bool checkTimer() override { return true; }
    void runTask() override {
        ++g_passes;
        SetEvent(g_passEntered.get());
        WaitForSingleObject(g_passRelease.get(), INFINITE);
    }
};

ScheduledTaskList CreateBlockingTask() {
    ScheduledTaskList tasks;
    tasks.push_back(std::make_unique<CBlockingTask>());
    return tasks;
}

TEST(ScheduledTaskThread, StopDuringPassWaitsForThePassToEnd) {
    g_passEntered.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_passRelease.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_terminateEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_pfnCreateScheduledTasks = CreateBlockingTask;
    g_scheduledTaskThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0x10000, ScheduledTaskThread, nullptr, 0, nullptr));
    ASSERT_NE(nullptr, g_scheduledTaskThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_passEntered.get(), 30000));

    UTIL::unique_handle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread stopper([&] {
        terminateService(0);
        SetEvent(stopped.get());
    });
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stopped.get(), 1000));
    EXPECT_EQ(0, g_destroyed.load());

    SetEvent(g_passRelease.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopped.get(), 30000));
    stopper.join();
    EXPECT_EQ(1, g_passes.load());  // the signalled event ends the loop after the pass
    EXPECT_EQ(1, g_destroyed.load());
    EXPECT_EQ(nullptr, g_scheduledTaskThread);
    EXPECT_EQ(nullptr, g_terminateEvent);
    g_pfnCreateScheduledTasks = CreateScheduledTasks;
}

TEST(ServiceHandler, ShutdownSignalsOnlyTheShutdownEvent) {
    UTIL::unique_handle terminate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UTIL::unique_handle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_terminateEvent = terminate.get();
    g_shutdownEvent = shutdown.get();
    runningService = 1;
    Service_Handler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shutdown.get(), 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(terminate.get(), 0));
    EXPECT_EQ(1, runningService);

    Service_Handler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(terminate.get(), 0));
    EXPECT_EQ(0, runningService);
    g_terminateEvent = nullptr;
    g_shutdownEvent = nullptr;
}

// Every read sees a stale entry, so each value written is read again.
DWORD StaleTicks() {
    static DWORD ticks = 0;
    return ticks += 31000;
}

TEST(ServicePendingTime, MissingZeroOrTextGiveTheDefaultAndDigitsAreRead) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    const std::string ini = std::string(dir) + "zel_pending_time_test.ini";
    DeleteFileA(ini.c_str());
    ASSERT_TRUE(WritePrivateProfileStringA("X", "Y", "1", ini.c_str()));
    ScanProfile().SetTickSource(StaleTicks);
    ASSERT_TRUE(ScanProfile().OpenA(ini.c_str(), 0));
    EXPECT_EQ(120000u, ReadPendingTime());
    const std::pair<const char*, DWORD> cases[] = {
        {"0", 120000}, {"abc", 120000}, {"300000", 300000}, {"4500ms", 4500}};
    for (const auto& [text, expected] : cases) {
        WritePrivateProfileStringA("INI_SERVER_SECTION", "Service_Pending_Time", text, ini.c_str());
        EXPECT_EQ(expected, ReadPendingTime()) << text;
    }
    DeleteFileA(ini.c_str());
}

}  // namespace
