// The log server's pipe side: a fixed set of pipe instances, each served by
// its own thread, so that one client never waits for another's record. Every
// connection carries one LOG_WRITE record; good records and refusals go to
// the callbacks (called one at a time).
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogRecordParser.h"
#include "UniqueHandle.h"

namespace LOGSRV {

class CLogServer {
public:
    using RecordSink = std::function<void(const ParsedRecord&)>;
    using RefusalSink = std::function<void(const std::wstring& reason)>;

    CLogServer(RecordSink onRecord, RefusalSink onRefusal);
    ~CLogServer();
    CLogServer(const CLogServer&) = delete;
    CLogServer& operator=(const CLogServer&) = delete;

    // All instances exist (clients can connect) once this returns true.
    bool Start(const wchar_t* pipeName, int instances = 16, DWORD idleTimeoutMs = 10000);
    void Stop();

private:
    enum class ReadEnd { Complete, TooLarge, Idle, Stopped };

    void Serve(HANDLE instance);
    bool WaitForClient(HANDLE instance);
    ReadEnd ReadConnection(HANDLE instance, std::vector<BYTE>& bytes);
    void Deliver(ReadEnd end, const std::vector<BYTE>& bytes);

    RecordSink m_onRecord;
    RefusalSink m_onRefusal;
    DWORD m_idleTimeoutMs = 10000;
    UTIL::unique_handle m_stopEvent;
    std::vector<UTIL::unique_handle> m_instances;
    std::vector<std::thread> m_threads;
    std::mutex m_sinkMutex;
};

}  // namespace LOGSRV
