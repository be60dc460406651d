// Write-only client of a local named pipe: one object per connection,
// message read mode, writes in pieces of at most 1024 bytes.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

class CPipeClient {
public:
    static constexpr DWORD kPieceBytes = 1024;
    // Out of pipe quota (ERROR_NO_SYSTEM_RESOURCES), a piece is written again
    // at once a few times, then after a short pause each time; after all of
    // them (about two seconds) the send fails as any other failed write.
    static constexpr DWORD kImmediateRewrites = 8;
    static constexpr DWORD kPausedRewrites = 40;
    static constexpr DWORD kRewritePauseMs = 50;

    CPipeClient() = default;
    virtual ~CPipeClient() = default;
    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // Name without the local prefix ("Log_ServerNamePipe"). Waits for a busy
    // pipe as long as the server's default time-out lets it. On failure the
    // system error is left in the thread's last error.
    bool Connect(const wchar_t* pipeName);

    // Writes *pcbSize bytes; on success *pcbSize receives the number written.
    bool Send(const void* pData, DWORD* pcbSize);

    const wchar_t* PipePath() const { return m_szPipePath; }

protected:
    // One synchronous write of a piece; a seam for tests.
    virtual BOOL WritePiece(const BYTE* piece, DWORD bytes, DWORD* written);

private:
    UTIL::unique_handle m_hPipe;
    wchar_t m_szPipePath[MAX_PATH] = {};
};
