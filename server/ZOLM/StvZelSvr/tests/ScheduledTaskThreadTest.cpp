#include "zel_ServiceState.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

UINT g_endedWith = 0;
int g_ends = 0;
void WINAPI RecordEnd(UINT code) {
    ++g_ends;
    g_endedWith = code;
}

// The thread outlives the stop's wait: the stop goes on, leaves open what
// the thread still waits on, and ends the process through the seam (with
// 0, as a return from main would) instead of returning into the runtime's
// exit and its static destructors.
TEST(ScheduledTaskThread, StopThatGivesUpOnTheThreadEndsTheProcessAndClosesNothingItUses) {
    g_passEntered.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_passRelease.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_passes = 0;
    g_destroyed = 0;
    g_terminateEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_pfnCreateScheduledTasks = CreateBlockingTask;
    const TaskThreadStopSeam saved = g_taskThreadStopSeam;
    g_taskThreadStopSeam = {200, RecordEnd};
    g_scheduledTaskThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0x10000, ScheduledTaskThread, nullptr, 0, nullptr));
    ASSERT_NE(nullptr, g_scheduledTaskThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_passEntered.get(), 30000));
    const HANDLE terminate = g_terminateEvent;
    const HANDLE thread = g_scheduledTaskThread;
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());

    terminateService(0);
    EXPECT_TRUE(listener.WaitForLine(L"terminateService - <<<"));
    listener.Stop();
    EXPECT_EQ(g_ends, 1);
    EXPECT_EQ(g_endedWith, 0u);
    EXPECT_TRUE(TaskThreadAbandoned());
    EXPECT_EQ(g_terminateEvent, terminate);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(terminate, 0));  // open, and signalled
    EXPECT_EQ(g_scheduledTaskThread, thread);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));
    EXPECT_EQ(0, g_destroyed.load());
    std::vector<std::wstring> lines;
    for (const ZELTEST::LogRecord& record : listener.Records()) {
        if (record.Line().find(L"scheduled-task thread") != std::wstring::npos)
            lines.push_back(record.Line());
    }
    EXPECT_EQ(lines,
              std::vector<std::wstring>{L"[][StvZelSvr_tests.exe]terminateService - "
                                        L"scheduled-task thread still running after 200 ms"});

    SetEvent(g_passRelease.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    EXPECT_EQ(1, g_destroyed.load());
    CloseHandle(thread);
    CloseHandle(terminate);
    g_scheduledTaskThread = nullptr;
    g_terminateEvent = nullptr;
    g_taskThreadStopSeam = saved;
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

std::wstring Status(DWORD state, DWORD checkPoint, DWORD waitHint) {
    return L"SendStatusToSCM - CurrentState(" + std::to_wstring(state) +
           L"), Win32ExitCode(0), ServiceSpecificExitCode(0), CheckPoint(" +
           std::to_wstring(checkPoint) + L"), WaitHint(" + std::to_wstring(waitHint) + L")";
}

struct ReleaseEvents {
    HANDLE started;
    HANDLE release;
};

// Says it runs, then waits: suspended only after "started", the thread is
// past its start-up (where it may hold the loader lock, which every new
// thread of the test, the log listener's among them, needs).
unsigned __stdcall WaitForRelease(void* events) {
    const ReleaseEvents* own = static_cast<const ReleaseEvents*>(events);
    SetEvent(own->started);
    WaitForSingleObject(own->release, INFINITE);
    return 0;
}

// Pause and continue as the handler answers them (the service never accepts
// them, so the SCM does not deliver them; a test calls the handler): the
// status reports in order, the paused flag, and the schedule thread's
// suspend count afterwards, from a running, a paused and a stopping service.
TEST(ServiceHandler, PauseContinueAndInterrogateReportAndSuspendAsTheStateSays) {
    struct Case {
        LONG running;
        LONG paused;
        DWORD control;
        std::vector<std::wstring> reports;
        LONG pausedAfter;
        DWORD suspendCountAfter;
    };
    const Case cases[] = {
        {1, 0, SERVICE_CONTROL_PAUSE, {Status(6, 1, 1000), Status(7, 0, 0)}, 1, 1},
        {1, 1, SERVICE_CONTROL_PAUSE, {Status(4, 0, 0)}, 1, 1},
        {0, 0, SERVICE_CONTROL_PAUSE, {Status(4, 0, 0)}, 0, 0},
        {1, 1, SERVICE_CONTROL_CONTINUE, {Status(5, 1, 1000), Status(4, 0, 0)}, 0, 0},
        {1, 0, SERVICE_CONTROL_CONTINUE, {Status(4, 0, 0)}, 0, 0},
        {0, 1, SERVICE_CONTROL_CONTINUE, {Status(4, 0, 0)}, 1, 1},
        {1, 0, SERVICE_CONTROL_INTERROGATE, {Status(4, 0, 0)}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("control " + std::to_string(c.control) + ", running " +
                     std::to_string(c.running) + ", paused " + std::to_string(c.paused));
        UTIL::unique_handle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        UTIL::unique_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ReleaseEvents events = {started.get(), release.get()};
        UTIL::unique_handle schedule(reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, WaitForRelease, &events, 0, nullptr)));
        ASSERT_TRUE(schedule);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.get(), 30000));
        const HANDLE thread = schedule.get();
        if (c.paused) {
            ASSERT_EQ(0u, SuspendThread(thread));
        }
        runningService = c.running;
        g_paused = c.paused;
        g_scheduledTaskThread = thread;

        ZELTEST::CLogPipeListener listener;
        ASSERT_TRUE(listener.Start());
        Service_Handler(c.control);
        EXPECT_TRUE(listener.WaitForLine(c.reports.back()));
        listener.Stop();
        std::vector<std::wstring> reports;
        for (const ZELTEST::LogRecord& record : listener.Records()) {
            const size_t at = record.Line().find(L"SendStatusToSCM - ");
            if (at != std::wstring::npos) reports.push_back(record.Line().substr(at));
        }
        EXPECT_EQ(c.reports, reports);
        EXPECT_EQ(c.pausedAfter, g_paused);
        // SuspendThread answers the count before it; undo both.
        EXPECT_EQ(c.suspendCountAfter, SuspendThread(thread));
        while (ResumeThread(thread) > 1) {
        }
        SetEvent(release.get());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        g_scheduledTaskThread = nullptr;
        runningService = 0;
        g_paused = 0;
    }
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
