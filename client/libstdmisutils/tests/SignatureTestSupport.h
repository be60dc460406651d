// Helpers of the binding and loader tests: the signed test binaries beside
// the executable, the notifier's event record, the invalid-signature log's
// folder in the registry and the trace records of one test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"

namespace ZELTEST {

// A file built beside this test executable.
std::wstring BesideTest(const wchar_t* fileName);

// The events that the notifier reports while the object lives, read back
// from the record file that the notifier appends to.
class CNotifierEventRecord {
public:
    explicit CNotifierEventRecord(std::wstring path);
    ~CNotifierEventRecord();
    // One entry per event: "source\ttype\tcategory\tID\tmessage".
    std::vector<std::string> Events() const;

private:
    std::wstring m_path;
};

// Points "Application Path" (32-bit registry view) at a folder while the
// object lives, and restores what was there, keys it created included.
class CScopedApplicationPath {
public:
    explicit CScopedApplicationPath(const std::wstring& folder);
    ~CScopedApplicationPath();

private:
    bool m_hadValue = false;
    std::wstring m_previous;
    std::vector<std::wstring> m_createdKeys;  // deepest last
};

// The UTF-16 text at the start of a file, up to its first NUL.
std::wstring ReadWideTextUpToNul(const std::wstring& path);

// Trace records of one test: everything traced before a marker line.
class CTraceCapture {
public:
    CTraceCapture();
    // False when the log pipe could not be listened on.
    bool Started() const { return m_started; }
    std::vector<LogRecord> RecordsBeforeMarker();
    // The composed lines that contain `part`.
    std::vector<std::wstring> LinesContaining(const std::wstring& part);

private:
    CLogPipeListener m_listener;
    bool m_started = false;
    bool m_collected = false;
    std::vector<LogRecord> m_records;
};

}  // namespace ZELTEST
