#include "zel_ServiceState.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DebugTrace.h"
#include "LogPipeListener.h"
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

// The suspend count of a thread, read without changing it.
DWORD SuspendCount(HANDLE thread) {
    const DWORD before = SuspendThread(thread);
    ResumeThread(thread);
    return before;
}

std::wstring Report(int state, int checkPoint, int waitHint) {
    return L"SendStatusToSCM - CurrentState(" + std::to_wstring(state) +
           L"), Win32ExitCode(0), ServiceSpecificExitCode(0), CheckPoint(" +
           std::to_wstring(checkPoint) + L"), WaitHint(" + std::to_wstring(waitHint) + L")";
}

// Pause suspends the scheduled-task thread and continue resumes it, each
// with its pending and final reports, only while the service runs and only
// from the other state; otherwise, like interrogate, a running report.
TEST(ServiceHandler, PauseContinueAndInterrogateAnswerWithTheirReports) {
    UTIL::unique_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UTIL::unique_handle worker(CreateThread(
        nullptr, 0,
        [](void* event) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(event), 60000); },
        release.get(), 0, nullptr));
    ASSERT_TRUE(worker.valid());
    g_scheduledTaskThread = worker.get();
    g_paused = 0;
    struct Step {
        LONG running;
        DWORD control;
        std::vector<std::wstring> reports;
        LONG paused;
        DWORD suspendCount;
    };
    const Step steps[] = {
        {1, SERVICE_CONTROL_PAUSE, {Report(6, 1, 1000), Report(7, 0, 0)}, 1, 1},
        {1, SERVICE_CONTROL_PAUSE, {Report(4, 0, 0)}, 1, 1},
        {1, SERVICE_CONTROL_INTERROGATE, {Report(4, 0, 0)}, 1, 1},
        {1, SERVICE_CONTROL_CONTINUE, {Report(5, 1, 1000), Report(4, 0, 0)}, 0, 0},
        {1, SERVICE_CONTROL_CONTINUE, {Report(4, 0, 0)}, 0, 0},
        {0, SERVICE_CONTROL_PAUSE, {Report(4, 0, 0)}, 0, 0},
    };
    for (const Step& step : steps) {
        runningService = step.running;
        ZELTEST::CLogPipeListener listener;
        ASSERT_TRUE(listener.Start());
        Service_Handler(step.control);
        DebugTraceW('I', TRACE_SRC_W, L"handler test marker");
        ASSERT_TRUE(listener.WaitForLine(L"]handler test marker"));
        listener.Stop();
        std::vector<std::wstring> reports;
        for (const auto& record : listener.Records()) {
            const size_t at = record.Line().find(L"SendStatusToSCM - ");
            if (at != std::wstring::npos) reports.push_back(record.Line().substr(at));
        }
        EXPECT_EQ(reports, step.reports) << "control " << step.control;
        EXPECT_EQ(g_paused, step.paused) << "control " << step.control;
        EXPECT_EQ(SuspendCount(worker.get()), step.suspendCount) << "control " << step.control;
    }
    while (ResumeThread(worker.get()) > 1) {
    }
    SetEvent(release.get());
    WaitForSingleObject(worker.get(), 60000);
    g_scheduledTaskThread = nullptr;
    g_paused = 0;
    runningService = 0;
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
