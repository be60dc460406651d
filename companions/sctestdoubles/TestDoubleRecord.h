// Shared by the test doubles of the pipe-IPC library and the sibling stop
// libraries: each call appends one line to the file that the environment
// variable ZEL_SCTEST_RECORD names, and a call that stops a service sets the
// named event of ZEL_SCTEST_HALT_EVENT (the test service waits on it).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace SCTEST {

inline void Record(const char* format, ...) {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"ZEL_SCTEST_RECORD", path, MAX_PATH) == 0) return;
    char line[512] = {};
    va_list args;
    va_start(args, format);
    const int length = _vsnprintf(line, sizeof(line) - 2, format, args);
    va_end(args);
    if (length < 0) return;
    line[length] = '\n';
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length + 1), &written, nullptr);
    ::CloseHandle(file);
}

inline void SignalHalt() {
    wchar_t name[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"ZEL_SCTEST_HALT_EVENT", name, MAX_PATH) == 0) return;
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event == nullptr) return;
    ::SetEvent(event);
    ::CloseHandle(event);
}

}  // namespace SCTEST
