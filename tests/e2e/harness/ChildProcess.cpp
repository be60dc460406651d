#include "ChildProcess.h"

#include <vector>

namespace ZELTEST {

CChildProcess::~CChildProcess() {
    if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.get(), 1);
        WaitForSingleObject(m_process.get(), 10000);
    }
}

bool CChildProcess::Start(const std::wstring& commandLine, const std::wstring& outputFile) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UTIL::unique_handle output(CreateFileW(outputFile.empty() ? L"NUL" : outputFile.c_str(),
                                           GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));
    if (!output) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    return true;
}

bool CChildProcess::WaitForExit(DWORD timeoutMs) const {
    return m_process && WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool WaitForPipe(const wchar_t* pipePath, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (WaitNamedPipeW(pipePath, 100)) return true;
        Sleep(50);
    }
    return false;
}

std::wstring TempFilePath(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

std::string ReadWholeFile(const std::wstring& path) {
    UTIL::unique_handle file(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    GetFileSizeEx(file.get(), &size);
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() && !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &got,
                                   nullptr)) {
        return {};
    }
    text.resize(got);
    return text;
}

}  // namespace ZELTEST
