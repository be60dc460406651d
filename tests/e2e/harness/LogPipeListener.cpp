#include "LogPipeListener.h"

#include "UniqueHandle.h"

namespace ZELTEST {

namespace {

const std::wstring kEmpty;

void ParseRecord(LogRecord& record) {
    const size_t chars = record.bytes.size() / sizeof(wchar_t);
    record.text.assign(reinterpret_cast<const wchar_t*>(record.bytes.data()), chars);
    record.zeroTerminated = !record.text.empty() && record.text.back() == L'\0';
    if (record.zeroTerminated) record.text.pop_back();
    size_t start = 0;
    for (;;) {
        const size_t tab = record.text.find(L'\t', start);
        record.fields.push_back(record.text.substr(start, tab - start));
        if (tab == std::wstring::npos) break;
        start = tab + 1;
    }
}

// Overlapped I/O that gives up when the stop event fires.
bool FinishIo(HANDLE instance, OVERLAPPED& overlapped, HANDLE stopEvent, DWORD* bytes) {
    HANDLE waits[] = {overlapped.hEvent, stopEvent};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIo(instance);
        ::GetOverlappedResult(instance, &overlapped, bytes, TRUE);
        return false;
    }
    return ::GetOverlappedResult(instance, &overlapped, bytes, FALSE) != FALSE;
}

}  // namespace

const std::wstring& LogRecord::Field(size_t index) const {
    return index < fields.size() ? fields[index] : kEmpty;
}

int LogRecord::Level() const {
    return _wtoi(Field(4).c_str());
}

CLogPipeListener::CLogPipeListener(const wchar_t* pipeName)
    : m_path(std::wstring(L"\\\\.\\pipe\\") + pipeName),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CLogPipeListener::~CLogPipeListener() {
    Stop();
}

HANDLE CLogPipeListener::CreateInstance() const {
    return ::CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, 4096, 65536, 5000, nullptr);
}

bool CLogPipeListener::Start() {
    HANDLE first = CreateInstance();
    if (first == INVALID_HANDLE_VALUE) return false;
    m_thread = std::thread(&CLogPipeListener::Serve, this, first);
    return true;
}

void CLogPipeListener::Stop() {
    if (!m_thread.joinable()) return;
    ::SetEvent(m_stopEvent.get());
    m_thread.join();
}

bool CLogPipeListener::WaitForClient(HANDLE instance) {
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (::ConnectNamedPipe(instance, &overlapped)) return true;
    const DWORD error = ::GetLastError();
    // A client that wrote and closed before we looked still left its bytes.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return true;
    if (error != ERROR_IO_PENDING) return false;
    DWORD ignored = 0;
    return FinishIo(instance, overlapped, m_stopEvent.get(), &ignored);
}

void CLogPipeListener::ReadRecord(HANDLE instance) {
    LogRecord record;
    UTIL::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BYTE buffer[65536];
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        DWORD bytes = 0;
        BOOL ok = ::ReadFile(instance, buffer, sizeof(buffer), &bytes, &overlapped);
        if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
            ok = FinishIo(instance, overlapped, m_stopEvent.get(), &bytes);
        } else if (ok) {
            ::GetOverlappedResult(instance, &overlapped, &bytes, FALSE);
        }
        if (!ok) break;  // the client closed its end (or we stop)
        record.bytes.insert(record.bytes.end(), buffer, buffer + bytes);
        record.messageSizes.push_back(bytes);
    }
    if (record.bytes.empty()) return;
    ParseRecord(record);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(std::move(record));
    m_arrived.notify_all();
}

void CLogPipeListener::Serve(HANDLE firstInstance) {
    UTIL::unique_handle current(firstInstance);
    while (::WaitForSingleObject(m_stopEvent.get(), 0) == WAIT_TIMEOUT) {
        if (!WaitForClient(current.get())) {
            ::DisconnectNamedPipe(current.get());
            continue;
        }
        // A free instance exists before this one is read, so that no client
        // ever finds the name missing.
        UTIL::unique_handle next(CreateInstance());
        ReadRecord(current.get());
        current = std::move(next);
    }
}

std::vector<LogRecord> CLogPipeListener::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

bool CLogPipeListener::WaitForCount(size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_records.size() >= count; });
}

bool CLogPipeListener::WaitForLine(const std::wstring& part, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const LogRecord& record : m_records) {
            if (record.Line().find(part) != std::wstring::npos) return true;
        }
        return false;
    });
}

}  // namespace ZELTEST
