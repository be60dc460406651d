#include "CPipeClient.h"

#include <cstdio>
#include <cstring>

namespace {
// The server may identify the client but not act as it. Overlapped: every
// write can be waited for with a bound and cancelled.
constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;

DWORD Smaller(DWORD a, DWORD b) {
    return a < b ? a : b;
}

// What is left of `bound` milliseconds since `since`; 0 once it ran out.
DWORD LeftOf(ULONGLONG since, DWORD bound) {
    const ULONGLONG elapsed = ::GetTickCount64() - since;
    return elapsed >= bound ? 0 : static_cast<DWORD>(bound - elapsed);
}
}  // namespace

DWORD CPipeClient::TimeLeft(DWORD bound) const {
    return m_bounds.wholeSendMs == 0 ? bound
                                     : Smaller(bound, LeftOf(m_startTick, m_bounds.wholeSendMs));
}

bool CPipeClient::StopRequested() const {
    return m_stopEvent != nullptr && ::WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0;
}

BOOL CPipeClient::Fail(DWORD error, bool missedDeadline) {
    m_bMissedDeadline = missedDeadline;
    ::SetLastError(error);
    return FALSE;
}

bool CPipeClient::Connect(const wchar_t* pipeName) {
    _snwprintf(m_szPipePath, MAX_PATH - 1, L"\\\\.\\pipe\\%s", pipeName);
    m_szPipePath[MAX_PATH - 1] = L'\0';
    m_startTick = ::GetTickCount64();
    m_bMissedDeadline = false;
    for (;;) {
        m_hPipe.reset(::CreateFileW(m_szPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    kOpenFlags, nullptr));
        if (m_hPipe) break;
        if (::GetLastError() != ERROR_PIPE_BUSY) return false;
        if (StopRequested()) return Fail(ERROR_OPERATION_ABORTED, false);
        const DWORD left = TimeLeft(LeftOf(m_startTick, m_bounds.connectMs));
        if (left == 0) return Fail(ERROR_SEM_TIMEOUT, true);
        // Never 0 (NMPWAIT_USE_DEFAULT_WAIT: the server's own time-out).
        if (!::WaitNamedPipeW(m_szPipePath, Smaller(left, m_bounds.busyRoundMs)) &&
            ::GetLastError() != ERROR_SEM_TIMEOUT) {
            return false;  // the pipe went away, or the wait itself failed
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(m_hPipe.get(), &mode, nullptr, nullptr) != FALSE;
}

BOOL CPipeClient::WritePiece(const BYTE* piece, DWORD bytes, DWORD* written) {
    const ULONGLONG writeStart = ::GetTickCount64();
    OVERLAPPED overlapped{};
    if (::WriteFile(m_hPipe.get(), piece, bytes, written, &overlapped)) return TRUE;
    if (::GetLastError() != ERROR_IO_PENDING) return FALSE;
    // No event of our own (one more kernel object per record): with a null
    // hEvent the handle itself is signalled when its one write ends, and a
    // new write resets it (Windows and Wine 8 alike, docs/peer-bounds.md).
    const DWORD left = TimeLeft(LeftOf(writeStart, m_bounds.writeMs));
    HANDLE waits[2] = {m_hPipe.get(), m_stopEvent};
    const DWORD woke =
        left == 0 ? WAIT_TIMEOUT
                  : ::WaitForMultipleObjects(m_stopEvent != nullptr ? 2 : 1, waits, FALSE, left);
    if (woke == WAIT_OBJECT_0) {
        if (::GetOverlappedResult(m_hPipe.get(), &overlapped, written, FALSE)) return TRUE;
        if (::GetLastError() != ERROR_IO_INCOMPLETE) return FALSE;
    }
    // Timed out or stopped: cancel, and wait for the cancel to land before
    // `overlapped` and the piece go out of scope.
    ::CancelIoEx(m_hPipe.get(), &overlapped);
    if (::GetOverlappedResult(m_hPipe.get(), &overlapped, written, TRUE))
        return TRUE;  // it made it
    return woke == WAIT_OBJECT_0 + 1 ? Fail(ERROR_OPERATION_ABORTED, false)
                                     : Fail(ERROR_TIMEOUT, true);
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
            // a tracing thread at full speed. The rewrites stop at the
            // whole-send bound as well.
            if (::GetLastError() != ERROR_NO_SYSTEM_RESOURCES ||
                rewrites == kImmediateRewrites + kPausedRewrites) {
                return false;
            }
            if (StopRequested()) return Fail(ERROR_OPERATION_ABORTED, false);
            if (TimeLeft(1) == 0) return Fail(ERROR_TIMEOUT, true);
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
