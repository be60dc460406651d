#include "logcl_command.h"

#include <cwchar>
#include <vector>

#include "CCmdProtocol.h"
#include "CPipeClient.h"
#include "DebugTrace.h"

namespace {

// Set at the first "no log server" report and never cleared.
volatile LONG g_bLogServerMissingReported = 0;

std::vector<wchar_t> ToWide(const char* text) {
    if (text == nullptr) text = "";
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<size_t>(chars > 0 ? chars : 1), L'\0');
    if (chars > 0) ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), chars);
    return wide;
}

}  // namespace

bool logcl_WriteLog(int time, unsigned int processId, unsigned int threadId, int level,
                    const wchar_t* sourceFile, int line, const wchar_t* text) {
    CCmdProtocol command;
    command << L"LOG_WRITE" << time << processId << threadId << level << sourceFile << line << text;
    return logcl_SendCommand(command.c_str());
}

bool logcl_WriteLogA(int time, unsigned int processId, unsigned int threadId, int level,
                     const char* sourceFile, int line, const char* text) {
    const std::vector<wchar_t> wideSource = ToWide(sourceFile);
    const std::vector<wchar_t> wideText = ToWide(text);
    return logcl_WriteLog(time, processId, threadId, level, wideSource.data(), line,
                          wideText.data());
}

// Failures are reported through the debug library, never through the pipe
// that just failed.
bool logcl_SendCommand(const wchar_t* command) {
    CPipeClient client;
    if (client.Connect(kLogServerPipeName)) {
        DWORD bytes = static_cast<DWORD>((std::wcslen(command) + 1) * sizeof(wchar_t));
        if (client.Send(command, &bytes)) return true;
        DebugTraceToLibraryW(5, TRACE_SRC_W, L"pipe send failed!. err=%d", ::GetLastError());
        return false;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
        if (::InterlockedExchange(&g_bLogServerMissingReported, 1) == 0) {
            DebugTraceToLibraryW(5, TRACE_SRC_W, L"Need to Start LogServer for turn on debug log.");
        }
        return false;
    }
    DebugTraceToLibraryW(5, TRACE_SRC_W, L"Initial pipe client failed! err=%d", error);
    return false;
}
