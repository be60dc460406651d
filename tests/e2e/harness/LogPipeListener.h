// An in-process stand-in for the log server: listens on a pipe name with a
// free instance at all times, reads one record per connection and keeps it,
// parsed into the LOG_WRITE fields, for a test to look at.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UniqueHandle.h"

namespace ZELTEST {

struct LogRecord {
    std::vector<BYTE> bytes;           // everything the connection wrote
    std::vector<DWORD> messageSizes;   // size of each pipe message (one per write)
    std::wstring text;                 // bytes as UTF-16LE, final zero removed
    bool zeroTerminated = false;       // the last character was 0
    std::vector<std::wstring> fields;  // text split at tabs

    // LOG_WRITE fields by name; empty or 0 when absent.
    const std::wstring& Field(size_t index) const;
    int Level() const;
    const std::wstring& Line() const { return Field(7); }  // the composed line
};

class CLogPipeListener {
public:
    explicit CLogPipeListener(const wchar_t* pipeName = L"Log_ServerNamePipe");
    ~CLogPipeListener();
    CLogPipeListener(const CLogPipeListener&) = delete;
    CLogPipeListener& operator=(const CLogPipeListener&) = delete;

    // Creates the first pipe instance (clients can connect once this
    // returns true) and starts serving.
    bool Start();
    void Stop();

    std::vector<LogRecord> Records() const;
    // Waits until at least `count` records arrived; false on time-out.
    bool WaitForCount(size_t count, DWORD timeoutMs = 30000) const;
    // Waits for a record whose composed line contains `part`.
    bool WaitForLine(const std::wstring& part, DWORD timeoutMs = 30000) const;

private:
    HANDLE CreateInstance() const;
    void Serve(HANDLE firstInstance);
    bool WaitForClient(HANDLE instance);
    void ReadRecord(HANDLE instance);

    std::wstring m_path;
    UTIL::unique_handle m_stopEvent;
    HANDLE m_firstInstance = nullptr;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<LogRecord> m_records;
};

}  // namespace ZELTEST
