// The command-handler plug-in that stvZelSvr hosts. It traces each call
// through the log server so that tests can see what the service called.
#include <windows.h>

#include <cwchar>

#include "DebugTrace.h"

#define CMZEL_API extern "C" __declspec(dllexport)

namespace {

void StartTrace() {
    static bool started = false;
    if (!started) InitDebugTraceW(L"", L"", L"CMD_ZEL", true);
    started = true;
}

// Loads each library named (bare names, ';' between) in
// CMZEL_BARE_LOAD_PROBES and traces the outcome: what a plug-in's own
// bare-name loads find in the service's process (0 loaded, else the error).
void ProbeBareNameLoads() {
    wchar_t names[512] = {};
    const DWORD length = GetEnvironmentVariableW(L"CMZEL_BARE_LOAD_PROBES", names, 512);
    if (length == 0 || length >= 512) return;
    wchar_t* context = nullptr;
    for (wchar_t* name = wcstok_s(names, L";", &context); name != nullptr;
         name = wcstok_s(nullptr, L";", &context)) {
        const HMODULE module = LoadLibraryW(name);
        const DWORD error = module != nullptr ? 0 : GetLastError();
        if (module != nullptr) FreeLibrary(module);
        DebugTraceW('I', TRACE_SRC_W, L"%s - bare-name load of %s: %d", L"cmzel_Initialize", name,
                    static_cast<int>(error));
    }
}

}  // namespace

CMZEL_API unsigned char cmzel_Initialize(const wchar_t* first, const wchar_t* second,
                                         void* context) {
    StartTrace();
    DebugTraceW('I', TRACE_SRC_W, L"%s - called with [%s] [%s] %s", L"cmzel_Initialize",
                first ? first : L"(null)", second ? second : L"(null)",
                context ? L"context" : L"(null)");
    ProbeBareNameLoads();
#ifdef CMZEL_INITIALIZE_ANSWERS_FALSE
    DebugTraceW('I', TRACE_SRC_W, L"%s - answers false", L"cmzel_Initialize");
    return 0;
#else
    return 1;
#endif
}

CMZEL_API unsigned char cmzel_Finalize(const wchar_t* first, const wchar_t* second) {
    StartTrace();
    DebugTraceW('I', TRACE_SRC_W, L"%s - called with [%s] [%s]", L"cmzel_Finalize",
                first ? first : L"(null)", second ? second : L"(null)");
    return 1;
}

CMZEL_API void cmzel_ReloadDebugSetting() {
    StartTrace();
    DebugTraceW('I', TRACE_SRC_W, L"%s - called", L"cmzel_ReloadDebugSetting");
}

#ifndef CMZEL_WITHOUT_PROCESS
CMZEL_API int cmzel_Process(const wchar_t* command) {
    StartTrace();
    DebugTraceW('I', TRACE_SRC_W, L"%s - %s", L"cmzel_Process", command ? command : L"(null)");
    return 0;
}
#endif
