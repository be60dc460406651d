// Another user's library put where a checked one was: its entry point
// leaves a marker file (named by DS_ATTACKER_MARKER) the moment it runs.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"DS_ATTACKER_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    const HANDLE file = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return TRUE;
}

extern "C" __declspec(dllexport) int DsAttackerEntry() {
    return 1;
}
