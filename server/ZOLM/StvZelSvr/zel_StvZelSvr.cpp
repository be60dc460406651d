#include "zel_StvZelSvr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "DebugTrace.h"
#include "KVNotify.h"
#include "ProfileCache.h"
#include "zel_ServiceEvents.h"
#include "zel_ServiceState.h"

namespace {

// Longest path the platform gives for a module.
constexpr DWORD kLongPathChars = 32768;

}  // namespace

void getWorkingDirectory(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return;
    // Read whole: a path cut to 259 characters may end inside one of its own
    // folders, and the folders above that would be taken for the product's.
    std::vector<wchar_t> modulePath(kLongPathChars);
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath.data(), kLongPathChars);
    const wchar_t* lastSlash =
        length < kLongPathChars ? wcsrchr(modulePath.data(), L'\\') : nullptr;

    wchar_t drive[3] = {};
    wchar_t directory[256] = {};
    // Drive and folder must fit their buffers; otherwise there is no product
    // folder (the INI files are not bound and give their defaults).
    if (length == 0 || lastSlash == nullptr || lastSlash - modulePath.data() + 1 > 2 + 255 ||
        _wsplitpath_s(modulePath.data(), drive, 3, directory, 256, nullptr, 0, nullptr, 0) != 0) {
        buffer[0] = L'\0';
        DebugTraceW('E', TRACE_SRC_W, L"%s - Module path too long: [%d].", L"getWorkingDirectory",
                    static_cast<int>(length));
        return;
    }

    wchar_t relative[MAX_PATH] = {};
    const int written =
        _snwprintf(relative, MAX_PATH - 1, L"%s%s%s", drive, directory, L"..\\..\\");
    if (written < 0 || written >= static_cast<int>(MAX_PATH) - 1 ||
        ::GetFullPathNameW(relative, size, buffer, nullptr) >= size) {
        buffer[0] = L'\0';
        DebugTraceW('E', TRACE_SRC_W, L"%s - Module path too long: [%d].", L"getWorkingDirectory",
                    static_cast<int>(length));
        return;
    }

    DebugTraceW('I', TRACE_SRC_W, L"%s - Working Dir = %s", L"getWorkingDirectory", buffer);
}

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_terminateEvent = nullptr;
HANDLE g_shutdownEvent = nullptr;
DWORD g_pendingTime = kDefaultPendingTime;
volatile LONG runningService = 0;
volatile LONG g_paused = 0;
HANDLE g_scheduledTaskThread = nullptr;
TaskThreadStopSeam g_taskThreadStopSeam = {kTaskThreadStopWaitMs, ::ExitProcess};

namespace {

volatile LONG g_bTaskThreadAbandoned = 0;

constexpr char kNotifierText[] = "Karvelo Tessaly ZEL Server";

BOOL ReportState(DWORD state) {
    return SendStatusToSCM(state, 0, 0, 0, 0);
}

bool IsConsoleMode(DWORD argc, LPWSTR* argv) {
    // Only main calls with argc 2, handing over its narrow argv.
    return argc == 2 && argv != nullptr &&
           strcmp(reinterpret_cast<const char*>(argv[1]), "-console") == 0;
}

BOOL ReportStartStep(DWORD checkPoint) {
    return SendStatusToSCM(SERVICE_START_PENDING, 0, 0, checkPoint, g_pendingTime);
}

bool CreateServiceEvents() {
    g_terminateEvent = CreateServiceEvent(kTerminateEventName);
    if (g_terminateEvent == nullptr) return false;
    g_shutdownEvent = CreateServiceEvent(kShutdownEventName);
    return g_shutdownEvent != nullptr;
}

// Start steps up to the running report; false when one failed. (Not named
// StartService: that is the Win32 macro, and this compiled as an overload
// of StartServiceW.)
bool RunStartSteps(bool console) {
    if (!console) {
        g_statusHandle = RegisterServiceCtrlHandlerW(kServiceName, Service_Handler);
        if (g_statusHandle == nullptr) return false;
        for (DWORD checkPoint = 1; checkPoint <= 3; ++checkPoint) {
            Sleep(1000);
            SendStatusToSCM(SERVICE_START_PENDING, 0, 0, checkPoint, 2000);
        }
    } else {
        Sleep(10000);
    }
    g_pendingTime = ReadPendingTime();
    if (!console && !ReportStartStep(5)) return false;
    if (!CreateServiceEvents()) return false;
    for (DWORD checkPoint = 6; checkPoint <= 9; ++checkPoint) {
        if (!console && !ReportStartStep(checkPoint)) return false;
    }
    if (!InitService()) return false;
    return console || SendStatusToSCM(SERVICE_RUNNING, 0, 0, 0, 0);
}

// Closes an event or thread handle and clears it.
void CloseAndClear(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

void ReportStopStep(DWORD checkPoint, DWORD waitHint) {
    if (g_statusHandle == nullptr) return;
    SendStatusToSCM(SERVICE_STOP_PENDING, 0, 0, checkPoint, waitHint);
    DebugTraceW('I', TRACE_SRC_W, L"%s - end of SendStatusToSCM with SERVICE_STOP_PENDING and %d",
                L"terminateService", checkPoint);
}

// True when the thread ended. Bounded: a send of the thread ends at the
// stop request, so the thread ends within a few trace lines; should it not,
// the stop goes on without it and leaves alone what it still uses.
bool WaitForScheduledTaskThread() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - Wait...", L"terminateService");
    DebugTraceW('I', TRACE_SRC_W, L"%s - will call WaitForMultipleObjects", L"terminateService");
    const DWORD waitMs = g_taskThreadStopSeam.waitMs;
    const bool ended = g_scheduledTaskThread == nullptr ||
                       WaitForSingleObject(g_scheduledTaskThread, waitMs) != WAIT_TIMEOUT;
    if (!ended) {
        ::InterlockedExchange(&g_bTaskThreadAbandoned, 1);
        DebugTraceW('W', TRACE_SRC_W, L"%s - scheduled-task thread still running after %d ms",
                    L"terminateService", static_cast<int>(waitMs));
    }
    DebugTraceW('I', TRACE_SRC_W, L"%s - end of call WaitForMultipleObjects", L"terminateService");
    return ended;
}

void PauseService() {
    if (runningService && !g_paused) {
        SendStatusToSCM(SERVICE_PAUSE_PENDING, 0, 0, 1, 1000);
        g_paused = 1;
        if (g_scheduledTaskThread != nullptr) SuspendThread(g_scheduledTaskThread);
        ReportState(SERVICE_PAUSED);
    } else {
        ReportState(SERVICE_RUNNING);
    }
}

void ContinueService() {
    if (runningService && g_paused) {
        SendStatusToSCM(SERVICE_CONTINUE_PENDING, 0, 0, 1, 1000);
        g_paused = 0;
        if (g_scheduledTaskThread != nullptr) ResumeThread(g_scheduledTaskThread);
    }
    ReportState(SERVICE_RUNNING);
}

void StopRequested() {
    SendStatusToSCM(SERVICE_STOP_PENDING, 0, 0, 1, kStopRequestHintMs);
    runningService = 0;
    DebugTraceW('I', TRACE_SRC_W, L"%s - Set runningService = FALSE.", L"Service_Handler");
    SetEvent(g_terminateEvent);
    DebugTraceW('I', TRACE_SRC_W, L"%s - Signal g_terminateEvent", L"Service_Handler");
}

}  // namespace

DWORD ReadPendingTime() {
    wchar_t text[260] = {};
    ScanProfile().GetStringW(text, L"INI_SERVER_SECTION", L"Service_Pending_Time", L"120000", 260,
                             0);
    // Leading digits only; anything else reads as 0, which means the default.
    // A number too large for 32 bits would wrap to an arbitrary hint: it
    // gives the default as well.
    ULONGLONG value = 0;
    for (const wchar_t* p = text; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<ULONGLONG>(*p - L'0');
        if (value > MAXDWORD) return kDefaultPendingTime;
    }
    return value == 0 ? kDefaultPendingTime : static_cast<DWORD>(value);
}

BOOL SendStatusToSCM(DWORD currentState, DWORD win32ExitCode, DWORD serviceSpecificExitCode,
                     DWORD checkPoint, DWORD waitHint) {
    DebugTraceW('I', TRACE_SRC_W,
                L"%s - CurrentState(%d), Win32ExitCode(%d), ServiceSpecificExitCode(%d), "
                L"CheckPoint(%d), WaitHint(%d)",
                L"SendStatusToSCM", currentState, win32ExitCode, serviceSpecificExitCode,
                checkPoint, waitHint);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = currentState;
    status.dwControlsAccepted =
        currentState == SERVICE_START_PENDING ? 0 : (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    status.dwWin32ExitCode =
        serviceSpecificExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32ExitCode;
    status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return SetServiceStatus(g_statusHandle, &status);
}

void WINAPI Service_Handler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            StopRequested();
            break;
        case SERVICE_CONTROL_PAUSE:
            PauseService();
            break;
        case SERVICE_CONTROL_CONTINUE:
            ContinueService();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            ReportState(SERVICE_RUNNING);
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            SetEvent(g_shutdownEvent);
            break;
        default:
            DebugTraceW('I', TRACE_SRC_W, L"%s - SERVICE_USER_DEFINED_CONTROL: %d",
                        L"Service_Handler", control);
            ReportState(SERVICE_RUNNING);
            break;
    }
}

void terminateService(DWORD exitCode) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"terminateService");
    DebugTraceW('I', TRACE_SRC_W, L"%s - Starting to shut down service..., parameter: %d",
                L"terminateService", exitCode);
    if (IsCmdZelFinalizeBound()) FinalizeCmdZelHandler();
    UnloadCmdZelHandler();
    if (g_terminateEvent != nullptr) {
        BOOL set = SetEvent(g_terminateEvent);
        DebugTraceW('I', TRACE_SRC_W, L"%s - Set event g_terminateEvent. ret = %d",
                    L"terminateService", set);
    }
    ReportStopStep(1, kStopStepHintMs);
    ReportStopStep(2, kStopStepHintMs);
    ReportStopStep(3, kTaskThreadStopWaitMs + kStopStepHintMs);
    const bool threadEnded = WaitForScheduledTaskThread();
    UnregisterWindowsTimerQueue();
    // A thread still running waits on the terminate event: it stays open.
    if (threadEnded) CloseAndClear(g_scheduledTaskThread);
    ReportStopStep(4, kStopStepHintMs);
    DebugTraceW('I', TRACE_SRC_W, L"%s - Server is shutting down...", L"terminateService");
    if (threadEnded) CloseAndClear(g_terminateEvent);
    CloseAndClear(g_shutdownEvent);
    if (g_statusHandle != nullptr) {
        SendStatusToSCM(SERVICE_STOPPED, exitCode, 0, 0, 0);
        DebugTraceW('I', TRACE_SRC_W, L"%s - end of SendStatusToSCM with SERVICE_STOPPED",
                    L"terminateService");
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"terminateService");
    // ExitProcess ends the other threads before any library is told to
    // detach, and runs none of this executable's static destructors (the
    // level map, the profile caches, the crash filter), which the runtime's
    // exit would run under the live thread.
    if (!threadEnded) g_taskThreadStopSeam.pfnEndProcess(0);
}

bool TaskThreadAbandoned() {
    return g_bTaskThreadAbandoned != 0;
}

void WINAPI Service_Main(DWORD argc, LPWSTR* argv) {
    const bool console = IsConsoleMode(argc, argv);
    DebugTraceW('I', TRACE_SRC_W, console ? L"%s - Console mode!" : L"%s - Service mode!",
                L"Service_Main");
    if (!RunStartSteps(console)) {
        terminateService(GetLastError());
        return;
    }
    DebugTraceW('I', TRACE_SRC_W, L"%s - stvZelSvr has started up.", L"Service_Main");
    KVNotifyServiceEvent(kNotifierText, 0);
    WaitForSingleObject(g_terminateEvent, INFINITE);
    Sleep(1000);
    terminateService(0);
}
