#include "CPipeClient.h"

#include <cstdio>
#include <cstring>

namespace {
// The server may identify the client but not act as it.
constexpr DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
}  // namespace

bool CPipeClient::Connect(const wchar_t* pipeName) {
    _snwprintf(m_szPipePath, MAX_PATH - 1, L"\\\\.\\pipe\\%s", pipeName);
    m_szPipePath[MAX_PATH - 1] = L'\0';
    for (;;) {
        m_hPipe.reset(::CreateFileW(m_szPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    kIdentifyOnly, nullptr));
        if (m_hPipe) break;
        if (::GetLastError() != ERROR_PIPE_BUSY) return false;
        if (!::WaitNamedPipeW(m_szPipePath, NMPWAIT_USE_DEFAULT_WAIT)) return false;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(m_hPipe.get(), &mode, nullptr, nullptr) != FALSE;
}

BOOL CPipeClient::WritePiece(const BYTE* piece, DWORD bytes, DWORD* written) {
    return ::WriteFile(m_hPipe.get(), piece, bytes, written, nullptr);
}

bool CPipeClient::Send(const void* pData, DWORD* pcbSize) {
    const BYTE* source = static_cast<const BYTE*>(pData);
    DWORD remaining = *pcbSize;
    DWORD total = 0;
    BYTE piece[kPieceBytes];
    DWORD rewrites = 0;  // of the current piece
    while (remaining != 0) {
        const DWORD pieceBytes = remaining < kPieceBytes ? remaining : kPieceBytes;
        std::memcpy(piece, source, pieceBytes);
        DWORD written = 0;
        if (!WritePiece(piece, pieceBytes, &written)) {
            // Out of pipe quota: the same piece is written again, but not
            // without end: under lasting exhaustion an endless rewrite spins
            // a tracing thread at full speed, and the service's stop, which
            // waits for that thread, never ends.
            if (::GetLastError() != ERROR_NO_SYSTEM_RESOURCES ||
                rewrites == kImmediateRewrites + kPausedRewrites) {
                return false;
            }
            if (rewrites++ >= kImmediateRewrites) {
                ::Sleep(kRewritePauseMs);
                ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            }
            continue;
        }
        rewrites = 0;
        total += written;
        remaining -= written;
        source += written;
    }
    *pcbSize = total;
    return true;
}
