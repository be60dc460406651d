#include "zel_StvZelSvr.h"

#include <cstdlib>
#include <cwchar>

#include "DebugTrace.h"

void getWorkingDirectory(wchar_t* buffer, DWORD size) {
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH - 1);

    wchar_t drive[3] = {};
    wchar_t directory[256] = {};
    _wsplitpath_s(modulePath, drive, 3, directory, 256, nullptr, 0, nullptr, 0);

    wchar_t relative[MAX_PATH] = {};
    _snwprintf(relative, MAX_PATH - 1, L"%s%s%s", drive, directory, L"..\\..\\");
    ::GetFullPathNameW(relative, size, buffer, nullptr);

    DebugTraceW('I', TRACE_SRC_W, L"%s - Working Dir = %s", L"getWorkingDirectory", buffer);
}

void WINAPI Service_Main(DWORD /*argc*/, LPWSTR* /*argv*/) {}
