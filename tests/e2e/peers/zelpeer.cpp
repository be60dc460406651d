// A peer that misbehaves, for the peer scenarios (PeerScenarioTest): it
// serves a pipe the way a stuck or hostile log server or command manager
// would, until it is killed.
//   zelpeer <mode> <pipe name without \\.\pipe\>
//   never-read-0    accepts every connection and never reads; 0-byte buffers
//   never-read-64k  the same with 64 KiB buffers (small writes complete)
//   close-at-once   accepts and closes every connection at once
//   one-byte-a-second  0-byte buffers; reads one byte a second per connection
//   take-whole-after-<ms>  0-byte buffers; takes each whole record <ms> after
//                   accepting its connection
//   healthy-then-stuck  0-byte buffers; reads every other connection at once
//                   and never reads the others
//   all-busy        four instances with a 600 s default time-out, each taken
//                   by a connection of its own: every client meets a busy pipe
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kLongDefaultWaitMs = 600000;

HANDLE NewInstance(const std::wstring& path, DWORD inBytes, DWORD instances) {
    return CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances, 0,
                            inBytes, kLongDefaultWaitMs, nullptr);
}

void ReadOneByteASecond(HANDLE instance) {
    for (;;) {
        BYTE byte = 0;
        DWORD got = 0;
        if (!ReadFile(instance, &byte, 1, &got, nullptr) && GetLastError() != ERROR_MORE_DATA)
            break;
        Sleep(1000);
    }
    CloseHandle(instance);
}

// Reads the connection's messages until the client closes it.
void ReadAll(HANDLE instance, DWORD delayMs) {
    Sleep(delayMs);
    static thread_local BYTE buffer[65536];
    DWORD got = 0;
    while (ReadFile(instance, buffer, sizeof buffer, &got, nullptr) ||
           GetLastError() == ERROR_MORE_DATA) {
    }
    CloseHandle(instance);
}

int AllBusy(const std::wstring& path) {
    std::vector<HANDLE> held;
    for (int i = 0; i < 4; ++i) {
        if (NewInstance(path, 0, 4) == INVALID_HANDLE_VALUE) return 1;
        held.push_back(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (held.back() == INVALID_HANDLE_VALUE) return 1;
    }
    wprintf(L"ready\n");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: zelpeer <mode> <pipe name>\n");
        return 2;
    }
    const std::wstring mode = argv[1];
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + argv[2];
    if (mode == L"all-busy") return AllBusy(path);
    const DWORD inBytes = mode == L"never-read-64k" ? 65536 : 0;
    const std::wstring takeAfter = L"take-whole-after-";
    const bool takesAfter = mode.compare(0, takeAfter.size(), takeAfter) == 0;
    const DWORD delayMs = takesAfter ? wcstoul(mode.c_str() + takeAfter.size(), nullptr, 10) : 0;
    unsigned connections = 0;
    std::vector<HANDLE> neverRead;  // kept open for good
    bool ready = false;
    for (;;) {
        const HANDLE instance = NewInstance(path, inBytes, PIPE_UNLIMITED_INSTANCES);
        if (instance == INVALID_HANDLE_VALUE) return 1;
        if (!ready) {
            wprintf(L"ready\n");
            fflush(stdout);
            ready = true;
        }
        if (!ConnectNamedPipe(instance, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
            GetLastError() != ERROR_NO_DATA) {
            CloseHandle(instance);
            continue;
        }
        if (mode == L"close-at-once") {
            DisconnectNamedPipe(instance);
            CloseHandle(instance);
        } else if (takesAfter) {
            std::thread(ReadAll, instance, delayMs).detach();
        } else if (mode == L"healthy-then-stuck" && connections++ % 2 == 0) {
            std::thread(ReadAll, instance, 0).detach();
        } else if (mode == L"one-byte-a-second") {
            std::thread(ReadOneByteASecond, instance).detach();
        } else {
            neverRead.push_back(instance);
        }
    }
}
