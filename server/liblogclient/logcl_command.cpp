#include "logcl_command.h"

#include <cwchar>
#include <vector>

#include "CCmdProtocol.h"
#include "CPipeClient.h"
#include "DebugTrace.h"
#include "logcl_backoff.h"

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

bool logcl_DropIfBackingOff() {
    return LogBackoff().DropIfBackingOff();
}

namespace {

// One connection, one record. Failures are reported through the debug
// library, never through the pipe that just failed.
bool SendOneRecord(CPipeClient& client, const wchar_t* command) {
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

}  // namespace

// A record that misses its deadline starts a back-off (logcl_backoff.h);
// the first record through after one reports what was dropped, through the
// normal trace path (the back-off is over by then, so it is delivered).
bool logcl_SendCommand(const wchar_t* command) {
    CLogBackoff& backoff = LogBackoff();
    const CLogBackoff::Admission admission = backoff.Admit();
    if (admission == CLogBackoff::Admission::Drop) return false;
    const ULONGLONG startTick = g_logDeliverySeam.pfnNow();
    bool sent = false;
    bool missedDeadline = false;
    {
        CPipeClient client(g_logDeliverySeam.bounds);
        sent = SendOneRecord(client, command);
        missedDeadline = client.MissedDeadline();
    }
    if (!sent) {
        if (missedDeadline) {
            backoff.MissedDeadline(admission, startTick);
        } else {
            backoff.Failed(admission);
        }
        return false;
    }
    const DroppedRecords dropped = backoff.Delivered(admission);
    if (dropped.count != 0) {
        DebugTraceW('W', TRACE_SRC_W, kDroppedRecordsFormat, L"logcl_SendCommand", dropped.count,
                    dropped.milliseconds);
    }
    return true;
}
