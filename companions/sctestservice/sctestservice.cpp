// A small service for the service control library's tests, run by the
// Service Control Manager with a mode and an event name on its command line:
//   refusestop <event>    runs and accepts no stop control (ControlService
//                          then fails with ERROR_INVALID_SERVICE_CONTROL)
//   startpending <event>  stays in the start-pending state
//   normal <event>        runs and stops on the stop control
//   heldstop <event>      like normal, but after the stop control stays
//                          stop-pending until the event "<event>_release" is
//                          set (a test decides how many polls see it pending)
// In every mode it reports stopped once the named event is set (the test
// doubles of the stop libraries set it) or after two minutes at most, so
// that no test leaves a service behind.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD kLongestLifeMs = 120000;

enum class Mode { RefuseStop, StartPending, Normal, HeldStop };

Mode g_mode = Mode::Normal;
wchar_t g_eventName[MAX_PATH] = {};
HANDLE g_haltEvent = nullptr;
volatile LONG g_stopRequested = 0;
SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state, DWORD accepted, DWORD waitHint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = waitHint;
    ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP && (g_mode == Mode::Normal || g_mode == Mode::HeldStop)) {
        Report(SERVICE_STOP_PENDING, 0, 5000);
        ::InterlockedExchange(&g_stopRequested, 1);
        ::SetEvent(g_haltEvent);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR* argv) {
    g_status = ::RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    if (g_status == nullptr) return;
    g_haltEvent = ::CreateEventW(nullptr, TRUE, FALSE, g_eventName);
    switch (g_mode) {
        case Mode::StartPending:
            Report(SERVICE_START_PENDING, 0, kLongestLifeMs);
            break;
        case Mode::RefuseStop:
            Report(SERVICE_RUNNING, 0, 0);
            break;
        case Mode::Normal:
        case Mode::HeldStop:
            Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);
            break;
    }
    ::WaitForSingleObject(g_haltEvent, kLongestLifeMs);
    if (g_mode == Mode::HeldStop && g_stopRequested) {
        wchar_t releaseName[MAX_PATH + 16] = {};
        _snwprintf(releaseName, MAX_PATH + 15, L"%s_release", g_eventName);
        HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, releaseName);
        if (release != nullptr) {
            ::WaitForSingleObject(release, kLongestLifeMs);
            ::CloseHandle(release);
        }
    }
    if (g_haltEvent) ::CloseHandle(g_haltEvent);
    Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 3) return 1;
    if (wcscmp(argv[1], L"refusestop") == 0) g_mode = Mode::RefuseStop;
    if (wcscmp(argv[1], L"startpending") == 0) g_mode = Mode::StartPending;
    if (wcscmp(argv[1], L"heldstop") == 0) g_mode = Mode::HeldStop;
    wcsncpy(g_eventName, argv[2], MAX_PATH - 1);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L""), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(::GetLastError());
}
