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

// Set on the thread that sends the dropped-records report: the report is
// not counted as a dropped record of its own, and reports nothing itself.
thread_local bool t_bSendingReport = false;

// Past the level gate, so that a gate at errors only cannot hide that
// records were lost. Not delivered, the count goes back for the next report.
void ReportDroppedRecords(CLogBackoff& backoff, const DroppedRecords& dropped) {
    const ULONGLONG milliseconds = g_logDeliverySeam.pfnNow() - dropped.firstDropTick;
    t_bSendingReport = true;
    const bool sent = DebugTracePastGateW('W', TRACE_SRC_W, kDroppedRecordsFormat,
                                          L"logcl_SendCommand", dropped.count, milliseconds);
    t_bSendingReport = false;
    if (!sent) backoff.CarryForward(dropped);
}

}  // namespace

LogDeliverySeam g_logDeliverySeam = {::GetTickCount64,   kTracePipeBounds,
                                     kTraceBackoffMs,    kTraceHealthyDeliveryMs,
                                     kTraceWaitBudgetMs, logcl_DeliverOverPipe};

bool logcl_DeliverOverPipe(const wchar_t* command, bool* missedDeadline) {
    CPipeClient client(g_logDeliverySeam.bounds);
    const bool sent = SendOneRecord(client, command);
    *missedDeadline = client.MissedDeadline();
    return sent;
}

// A record that misses its deadline, or a slow server that spends the
// waiting budget, starts a back-off (logcl_backoff.h); the first record
// through after one reports what was dropped.
bool logcl_SendCommand(const wchar_t* command) {
    const bool isReport = t_bSendingReport;
    CLogBackoff& backoff = LogBackoff();
    const CLogBackoff::Admission admission = backoff.Admit();
    if (admission == CLogBackoff::Admission::Drop) {
        if (!isReport) backoff.CountDropped();
        return false;
    }
    const ULONGLONG startTick = g_logDeliverySeam.pfnNow();
    bool missedDeadline = false;
    if (!g_logDeliverySeam.pfnDeliver(command, &missedDeadline)) {
        if (missedDeadline) {
            backoff.MissedDeadline(admission, startTick, !isReport);
        } else {
            backoff.Failed(admission);
        }
        return false;
    }
    const DroppedRecords dropped = backoff.Delivered(admission, startTick);
    if (dropped.count == 0) return true;
    if (isReport) {
        backoff.CarryForward(dropped);  // for the next record's report
    } else {
        ReportDroppedRecords(backoff, dropped);
    }
    return true;
}
