#include "LogServer.h"

namespace LOGSRV {

namespace {

enum class IoEnd { Done, Failed, TimedOut, Stopped };

// Waits for an overlapped operation, the stop event or the time-out.
IoEnd FinishIo(HANDLE instance, OVERLAPPED& overlapped, HANDLE stopEvent, DWORD timeoutMs,
               DWORD* bytes) {
    HANDLE waits[] = {overlapped.hEvent, stopEvent};
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woke != WAIT_OBJECT_0) {
        ::CancelIo(instance);
        ::GetOverlappedResult(instance, &overlapped, bytes, TRUE);
        return woke == WAIT_TIMEOUT ? IoEnd::TimedOut : IoEnd::Stopped;
    }
    if (::GetOverlappedResult(instance, &overlapped, bytes, FALSE)) return IoEnd::Done;
    return ::GetLastError() == ERROR_MORE_DATA ? IoEnd::Done : IoEnd::Failed;
}

}  // namespace

CLogServer::CLogServer(RecordSink onRecord, RefusalSink onRefusal)
    : m_onRecord(std::move(onRecord)),
      m_onRefusal(std::move(onRefusal)),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CLogServer::~CLogServer() {
    Stop();
}

bool CLogServer::Start(const wchar_t* pipeName, int instances, DWORD idleTimeoutMs) {
    m_idleTimeoutMs = idleTimeoutMs;
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + pipeName;
    for (int i = 0; i < instances; ++i) {
        UTIL::unique_handle instance(
            ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 4096, 65536, 5000, nullptr));
        if (!instance) return false;
        m_instances.push_back(std::move(instance));
    }
    for (const UTIL::unique_handle& instance : m_instances) {
        m_threads.emplace_back(&CLogServer::Serve, this, instance.get());
    }
    return true;
}

void CLogServer::Stop() {
    ::SetEvent(m_stopEvent.get());
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
    m_instances.clear();
}

bool CLogServer::WaitForClient(HANDLE instance) {
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (::ConnectNamedPipe(instance, &overlapped)) return true;
    const DWORD error = ::GetLastError();
    // A client that wrote and closed before we looked still left its bytes.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return true;
    if (error != ERROR_IO_PENDING) return false;
    DWORD ignored = 0;
    return FinishIo(instance, overlapped, m_stopEvent.get(), INFINITE, &ignored) == IoEnd::Done;
}

// Reads until the client closes its end. A record over the size limit is
// read to its end but not kept, so the next client starts clean.
CLogServer::ReadEnd CLogServer::ReadConnection(HANDLE instance, std::vector<BYTE>& bytes) {
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<BYTE> buffer(65536);
    bool tooLarge = false;
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        DWORD got = 0;
        IoEnd end = IoEnd::Done;
        if (!::ReadFile(instance, buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                        &overlapped)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                end = FinishIo(instance, overlapped, m_stopEvent.get(), m_idleTimeoutMs, &got);
            } else if (error == ERROR_MORE_DATA) {
                ::GetOverlappedResult(instance, &overlapped, &got, FALSE);
            } else {
                end = IoEnd::Failed;
            }
        } else {
            ::GetOverlappedResult(instance, &overlapped, &got, FALSE);
        }
        if (end == IoEnd::Stopped) return ReadEnd::Stopped;
        if (end == IoEnd::TimedOut) return ReadEnd::Idle;
        if (end == IoEnd::Failed) break;  // the client closed its end
        if (!tooLarge) bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
        if (bytes.size() > kMaxRecordBytes) {
            tooLarge = true;
            bytes.clear();
        }
    }
    return tooLarge ? ReadEnd::TooLarge : ReadEnd::Complete;
}

void CLogServer::Deliver(ReadEnd end, const std::vector<BYTE>& bytes) {
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (end == ReadEnd::TooLarge) {
        m_onRefusal(L"record too large (over " + std::to_wstring(kMaxRecordBytes) + L" bytes)");
        return;
    }
    if (end == ReadEnd::Idle) {
        m_onRefusal(L"client sent no complete record in time, dropped (" +
                    std::to_wstring(bytes.size()) + L" bytes)");
        return;
    }
    ParsedRecord record;
    std::wstring reason;
    if (ParseLogRecord(bytes, record, reason)) {
        m_onRecord(record);
    } else {
        m_onRefusal(reason + L" (" + std::to_wstring(bytes.size()) + L" bytes)");
    }
}

void CLogServer::Serve(HANDLE instance) {
    while (::WaitForSingleObject(m_stopEvent.get(), 0) == WAIT_TIMEOUT) {
        if (WaitForClient(instance)) {
            std::vector<BYTE> bytes;
            const ReadEnd end = ReadConnection(instance, bytes);
            if (end == ReadEnd::Stopped) break;
            Deliver(end, bytes);
        }
        ::DisconnectNamedPipe(instance);
    }
}

}  // namespace LOGSRV
