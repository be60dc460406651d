// Process-wide state of the running service, shared by the lifecycle, the
// start-up and the scheduled-task thread.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "zel_ScheduleTask.h"

constexpr wchar_t kTerminateEventName[] = L"Karvelo_Sentavo_ZOLM_Stop_Event";
constexpr wchar_t kShutdownEventName[] = L"Karvelo_Sentavo_ZOLM_Shutdown_Event";
constexpr DWORD kDefaultPendingTime = 120000;

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
