// A companion process started for a test, with its output sent to a file,
// killed on scope exit if it is still running.
#pragma once

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace ZELTEST {

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // stdout and stderr go to `outputFile` (created anew), or nowhere when empty.
    bool Start(const std::wstring& commandLine, const std::wstring& outputFile);
    // True when the process ended within the time.
    bool WaitForExit(DWORD timeoutMs) const;
    HANDLE Handle() const { return m_process.get(); }

private:
    UTIL::unique_handle m_process;
};

// Waits until a server instance of the pipe exists; false on time-out.
bool WaitForPipe(const wchar_t* pipePath, DWORD timeoutMs);

std::wstring TempFilePath(const wchar_t* name);

// The whole file as UTF-8 text.
std::string ReadWholeFile(const std::wstring& path);

}  // namespace ZELTEST
