// Write-only client of a local named pipe: one object per connection,
// message read mode, writes in pieces of at most 1024 bytes. Every wait on
// the server is bounded (docs/peer-bounds.md): the connect, its busy rounds
// and each write end at their bound, or at once when the stop event is set.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

// How long a client waits for the process at the other end of its pipe.
struct PipeWaitBounds {
    // The connect, busy rounds included, ends within this.
    DWORD connectMs;
    // One WaitNamedPipeW round; a stop request is seen between rounds.
    DWORD busyRoundMs;
    // A write that the server does not take within this is cancelled.
    DWORD writeMs;
    // Connect and every write together, counted from the connect; 0: no
    // such bound (each write still has writeMs).
    DWORD wholeSendMs;
};

// Log records: connect and write together within 1 s, four thousand times
// what a healthy server takes (docs/peer-bounds.md). Commands: connect
// and each write within 3 s, but a large message may take longer than 3 s
// in all as long as each piece is taken within 3 s.
constexpr PipeWaitBounds kTracePipeBounds{1000, 250, 1000, 1000};
constexpr PipeWaitBounds kCommandPipeBounds{3000, 250, 3000, 0};

class CPipeClient {
public:
    static constexpr DWORD kPieceBytes = 1024;
    // Out of pipe quota (ERROR_NO_SYSTEM_RESOURCES), a piece is written again
    // at once a few times, then after a short pause each time; after all of
    // them (about two seconds) the send fails as any other failed write.
    static constexpr DWORD kImmediateRewrites = 8;
    static constexpr DWORD kPausedRewrites = 40;
    static constexpr DWORD kRewritePauseMs = 50;

    // `stopEvent` (may be null) ends a connect or write in progress at once:
    // the call fails with ERROR_OPERATION_ABORTED.
    explicit CPipeClient(const PipeWaitBounds& bounds = kCommandPipeBounds,
                         HANDLE stopEvent = nullptr)
        : m_bounds(bounds), m_stopEvent(stopEvent) {}
    virtual ~CPipeClient() = default;
    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // Name without the local prefix ("Log_ServerNamePipe"). A busy pipe is
    // waited for in rounds until the connect bound; then the call fails with
    // ERROR_SEM_TIMEOUT. On failure the system error is left in the thread's
    // last error.
    bool Connect(const wchar_t* pipeName);

    // Writes *pcbSize bytes; on success *pcbSize receives the number written.
    // A write the server does not take in time is cancelled and fails with
    // ERROR_TIMEOUT.
    bool Send(const void* pData, DWORD* pcbSize);

    const wchar_t* PipePath() const { return m_szPipePath; }
    // True after a call failed because the server let a bound run out (not
    // for a stop request, a missing pipe or a broken connection).
    bool MissedDeadline() const { return m_bMissedDeadline; }

protected:
    // One write of a piece, waited for within the bounds; a seam for tests.
    virtual BOOL WritePiece(const BYTE* piece, DWORD bytes, DWORD* written);

private:
    // Milliseconds left for the next wait: the smaller of `bound` and what
    // the whole-send bound leaves.
    DWORD TimeLeft(DWORD bound) const;
    bool StopRequested() const;
    BOOL Fail(DWORD error, bool missedDeadline);

    PipeWaitBounds m_bounds;
    HANDLE m_stopEvent;
    ULONGLONG m_startTick = 0;
    bool m_bMissedDeadline = false;
    UTIL::unique_handle m_hPipe;
    wchar_t m_szPipePath[MAX_PATH] = {};
};
