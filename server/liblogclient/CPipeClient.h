// Write-only client of a local named pipe: one object per connection,
// message read mode, writes in pieces of at most 1024 bytes.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

class CPipeClient {
public:
    static constexpr DWORD kPieceBytes = 1024;

    CPipeClient() = default;
    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // Name without the local prefix ("Log_ServerNamePipe"). Waits for a busy
    // pipe as long as the server's default time-out lets it. On failure the
    // system error is left in the thread's last error.
    bool Connect(const wchar_t* pipeName);

    // Writes *pcbSize bytes; on success *pcbSize receives the number written.
    bool Send(const void* pData, DWORD* pcbSize);

    const wchar_t* PipePath() const { return m_szPipePath; }

private:
    UTIL::unique_handle m_hPipe;
    wchar_t m_szPipePath[MAX_PATH] = {};
};
