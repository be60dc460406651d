#include "zel_StvZelSvr.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "DebugTrace.h"
#include "ProfileCache.h"
#include "eh_exceptionhelper.h"
#include "zel_ServiceState.h"

namespace {

// folder + parts into a path buffer; false (and an empty path) when there is
// no product folder or the path does not fit: a cut path names another file.
template <typename... Parts>
bool ComposeProductPath(wchar_t (&path)[MAX_PATH], const wchar_t* folder, const Parts*... parts) {
    path[0] = L'\0';
    if (folder[0] == L'\0') return false;
    std::wstring composed = folder;
    (composed.append(parts), ...);
    if (composed.size() >= MAX_PATH) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Path too long: %s", L"main", composed.c_str());
        return false;
    }
    wcscpy(path, composed.c_str());
    return true;
}

// The product folder + parts, looked up afresh as the Part does once before
// each path it builds (each lookup writes its "Working Dir" line).
template <typename... Parts>
bool ProductPath(wchar_t (&path)[MAX_PATH], const Parts*... parts) {
    wchar_t folder[MAX_PATH] = {};
    getWorkingDirectory(folder, MAX_PATH);
    return ComposeProductPath(path, folder, parts...);
}

// Reads the web-server kind from "StUninst.ini" (uncached) and traces it.
void TraceWebServerKind() {
    wchar_t iniPath[MAX_PATH] = {};
    const int serverType =
        ProductPath(iniPath, L"StUninst.ini")
            ? static_cast<int>(::GetPrivateProfileIntW(L"WEB_SERVER", L"ServerType", 0, iniPath))
            : 0;
    if (IsApache(serverType)) {
        DebugTraceW('I', TRACE_SRC_W, L"%s - Running with Apache (%d)", L"main", serverType);
    } else {
        DebugTraceW('I', TRACE_SRC_W, L"%s - Running with IIS (%d)", L"main", serverType);
    }
}

// Binds the three process-wide profiles; a missing file only gives defaults.
void BindProfiles() {
    wchar_t path[MAX_PATH] = {};
    if (ProductPath(path, L"stvscan.ini")) ScanProfile().OpenW(path, 0);
    if (ProductPath(path, L"Private\\", L"stvserver.ini")) ServerProfile().OpenW(path, 0);
    if (ProductPath(path, L"Private\\", L"stvZelSvr.ini")) ModuleProfile().OpenW(path, 0);
}

// folder + name, cut to the buffer: the trace start's two paths are not used
// with the log-server-only flag, so a cut or empty one does no harm.
void TracePath(wchar_t (&path)[MAX_PATH], const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    getWorkingDirectory(folder, MAX_PATH);
    _snwprintf(path, MAX_PATH - 1, L"%s%s", folder, name);
}

void StartTrace() {
    wchar_t settingsFile[MAX_PATH] = {};
    wchar_t debugLibrary[MAX_PATH] = {};
    TracePath(settingsFile, L"Private\\LogServer\\stvdebug.ini");
    TracePath(debugLibrary, L"kvdbg20.dll");
    InitDebugTraceW(settingsFile, debugLibrary, L"ZEL_SVR", true);
}

// 0 for a return from main; a stop that left the scheduled-task thread
// running ends the process here instead, as its stop sequence does, so that
// no static destructor runs under that thread.
int EndUnlessTaskThreadAbandoned() {
    if (TaskThreadAbandoned()) ::ExitProcess(0);
    return 0;
}

}  // namespace

int ZelServerMain(int argc, char* argv[]) {
    // Each return destroys it; ExitProcess does not unwind and leaves it be.
    CExceptionHelper exceptionHelper(true, MyUnhandledExceptionHandler);
    SERVICE_TABLE_ENTRYW serviceTable[] = {
        {const_cast<LPWSTR>(kServiceName), Service_Main},
        {nullptr, nullptr},
    };

    BindProfiles();
    TraceWebServerKind();
    StartTrace();
    DebugTraceA('I', TRACE_SRC_A, "%s - cmd(%s)", "main", argc > 1 ? argv[1] : "");

    if (argc == 2 && strcmp(argv[1], "-console") == 0) {
        // Service_Main tells console mode by argc 2 and the narrow argument.
        Service_Main(2, reinterpret_cast<LPWSTR*>(argv));
        return EndUnlessTaskThreadAbandoned();
    }
    if (argc == 2 && strcmp(argv[1], "-install") == 0) {
        InstallAsService();
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "-uninstall") == 0) {
        UninstallAsService();
        return 0;
    }

    if (!::StartServiceCtrlDispatcherW(serviceTable)) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - StartServiceCtrlDispatcher failed.", L"main");
        ::ExitProcess(::GetLastError());
    }
    // The dispatcher returns at the stopped report, perhaps before the
    // stop sequence ends the process itself.
    return EndUnlessTaskThreadAbandoned();
}

int main(int argc, char* argv[]) {
    // Libraries named without a path, by this code or by any library it
    // loads, come only from the executable's folder and System32, never from
    // the current folder or PATH, which others may write.
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        const DWORD error = ::GetLastError();
        DebugTraceW('E', TRACE_SRC_W, L"%s - SetDefaultDllDirectories failed: [%d].", L"main",
                    static_cast<int>(error));
        return static_cast<int>(error);
    }
    return ZelServerMain(argc, argv);
}
