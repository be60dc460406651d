// Process-wide state of the running service, shared by the lifecycle, the
// start-up and the scheduled-task thread.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "CPipeClient.h"
#include "zel_ScheduleTask.h"

constexpr wchar_t kTerminateEventName[] = L"Karvelo_Sentavo_ZOLM_Stop_Event";
constexpr wchar_t kShutdownEventName[] = L"Karvelo_Sentavo_ZOLM_Shutdown_Event";
constexpr DWORD kDefaultPendingTime = 120000;

// Wait hints of the stop sequence: the longest a step can take until the
// next report (docs/peer-bounds.md). A step traces a few lines; the trace's
// waits on the log server stay within its waiting budget and one record's
// bound (about 1 s) before a back-off drops the rest at once. The hints
// keep the room they had for a loaded machine.
constexpr DWORD kStopStepHintMs = 6000;
// From the handler's report to the stop sequence's first: one second's
// sleep of Service_Main, then such a step.
constexpr DWORD kStopRequestHintMs = 1000 + kStopStepHintMs;
// The stop sequence's wait for the scheduled-task thread: a send of the
// thread ends at the stop request, the traces after it within a step; this
// leaves room for a loaded machine.
constexpr DWORD kTaskThreadStopWaitMs = 10000;

// The stop's wait for the scheduled-task thread, and how the process ends
// when the thread outlives it: without the runtime's exit, whose static
// destructors would destroy what the thread still uses. A seam for tests (a
// short wait, no real end); product code never changes it.
struct TaskThreadStopSeam {
    DWORD waitMs;                            // kTaskThreadStopWaitMs
    void(WINAPI* pfnEndProcess)(UINT code);  // ExitProcess
};
extern TaskThreadStopSeam g_taskThreadStopSeam;
// Set once a stop gave up waiting for the scheduled-task thread (before its
// stopped report): the process then ends through the seam, never through a
// return from main.
bool TaskThreadAbandoned();

extern SERVICE_STATUS_HANDLE g_statusHandle;
extern HANDLE g_terminateEvent;
extern HANDLE g_shutdownEvent;
extern DWORD g_pendingTime;
extern volatile LONG runningService;
extern volatile LONG g_paused;
extern HANDLE g_scheduledTaskThread;

using ScheduledTaskList = std::vector<std::unique_ptr<TimerInfo>>;
// Builds the scheduled-task thread's list; tasks are added here.
ScheduledTaskList CreateScheduledTasks();
// Seam so that tests can run the thread with tasks of their own.
extern ScheduledTaskList (*g_pfnCreateScheduledTasks)();

unsigned __stdcall ScheduledTaskThread(void* argument);

BOOL SendStatusToSCM(DWORD currentState, DWORD win32ExitCode, DWORD serviceSpecificExitCode,
                     DWORD checkPoint, DWORD waitHint);
void WINAPI Service_Handler(DWORD control);
void terminateService(DWORD exitCode);
DWORD ReadPendingTime();

// Start-up and plug-in host.
BOOL InitService();
void CreateTempFolder();
BOOL InitCmdZelHandler();
BOOL InitializeCmdZelHandler();
BOOL FinalizeCmdZelHandler();
BOOL UnloadCmdZelHandler();
bool IsCmdZelFinalizeBound();
BOOL RegisterWindowsTimerQueue();
void UnregisterWindowsTimerQueue();
