// The command-handler plug-in that stvZelSvr hosts. It traces each call
// through the log server so that tests can see what the service called.
#include <windows.h>

#include "DebugTrace.h"

#define CMZEL_API extern "C" __declspec(dllexport)

namespace {

void StartTrace() {
    static bool started = false;
    if (!started) InitDebugTraceW(L"", L"", L"CMD_ZEL", true);
    started = true;
}

}  // namespace

CMZEL_API unsigned char cmzel_Initialize(const wchar_t* first, const wchar_t* second,
                                         void* context) {
    StartTrace();
    DebugTraceW('I', TRACE_SRC_W, L"%s - called with [%s] [%s] %s", L"cmzel_Initialize",
                first ? first : L"(null)", second ? second : L"(null)",
                context ? L"context" : L"(null)");
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
