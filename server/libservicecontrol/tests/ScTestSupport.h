// Helpers of the service control library's tests: a test service under the
// prefix's Service Control Manager, the trace records of one test, the
// doubles' call record, and files and registry values that a test puts in
// place and removes again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "UniqueHandle.h"

namespace SCTEST {

// The sctestservice executable installed under a name for one test; set
// free (its halt event), stopped and deleted when the object goes.
class CTestService {
public:
    // mode: "normal", "refusestop" or "startpending".
    CTestService(const wchar_t* name, const wchar_t* mode, DWORD startType = SERVICE_DEMAND_START);
    ~CTestService();
    CTestService(const CTestService&) = delete;
    CTestService& operator=(const CTestService&) = delete;

    bool Installed() const { return m_service.valid(); }
    bool StartAndWaitFor(DWORD state);
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000) const;
    DWORD State() const;
    const std::wstring& HaltEventName() const { return m_eventName; }

private:
    std::wstring m_name;
    std::wstring m_eventName;
    UTIL::unique_handle m_haltEvent;
    UTIL::unique_sc_handle m_manager;
    UTIL::unique_sc_handle m_service;
};

// Listens on the log pipe for one test; Collect() returns everything traced
// up to the call (a marker traced last shows that all earlier records came).
// A listener that did not start, or a marker that did not arrive last, fails
// the test: the checks that a line is absent would pass without them.
class CTraceRecords {
public:
    CTraceRecords();
    std::vector<ZELTEST::LogRecord> Collect();
    // Waits until `count` records so far contain `part`; returns how many do.
    size_t WaitForCount(const std::wstring& part, size_t count, DWORD timeoutMs = 30000) const;
    static size_t Count(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part);
    static const ZELTEST::LogRecord* Find(const std::vector<ZELTEST::LogRecord>& records,
                                          const std::wstring& part);

private:
    ZELTEST::CLogPipeListener m_listener;
    bool m_started = false;
};

// The file that the test doubles append their calls to, named through the
// process environment, and the doubles' other settings; all undone at the end.
class CDoublesEnvironment {
public:
    CDoublesEnvironment();
    ~CDoublesEnvironment();
    void SetSendResult(const wchar_t* value);
    void SetInitFails();
    void SetHaltEvent(const std::wstring& name);
    std::vector<std::string> Calls() const;

private:
    std::wstring m_recordPath;
};

// This test executable's folder, where the library looks for the pipe-IPC
// and stop libraries; the doubles put there are deleted again.
std::wstring ExeFolder();
class CDoublesBesideExe {
public:
    CDoublesBesideExe();  // removes leftovers
    ~CDoublesBesideExe();
    bool Put(const char* builtDll, const wchar_t* fileName) const;
    bool Exists(const wchar_t* fileName) const;
    std::string Content(const wchar_t* fileName) const;
};

// A folder holding the four doubles, named as the product's "Application
// Path" for one test; the value before the test is put back afterwards.
class CApplicationPath {
public:
    CApplicationPath();
    ~CApplicationPath();
    bool PointAt(const std::wstring& folder) const;
    bool SetRaw(DWORD type, const void* data, DWORD bytes) const;
    const std::wstring& DoublesFolder() const { return m_folder; }

private:
    std::wstring m_folder;
    UTIL::unique_hkey m_key;
    bool m_createdKey = false;
    bool m_hadValue = false;
    std::vector<BYTE> m_oldValue;
    DWORD m_oldType = REG_NONE;
};

}  // namespace SCTEST
