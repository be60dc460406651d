// Self-installation: "-install" registers and starts the service, and
// "-uninstall" stops and deletes it, through the service control library.
// The outcome shows only in the trace.
#include <cwchar>

#include "DebugTrace.h"
#include "sc_servicecontrol.h"
#include "zel_SelfInstall.h"
#include "zel_StvZelSvr.h"

namespace {

constexpr wchar_t kServiceDescription[] = L"Sentavo ZEL Web Service Module.";
constexpr DWORD kQuotedPathChars = 520;

// Start: 5 attempts 3000 ms apart, then 3 polls 3000 ms apart for running.
constexpr DWORD kStartAttempts = 5;
constexpr DWORD kStartIntervalMs = 3000;
constexpr DWORD kStartPolls = 3;
// Stop: up to 60 one-second polls to send the stop request, then 3 polls
// 10000 ms apart for stopped.
constexpr DWORD kStopPolls = 3;
constexpr DWORD kStopIntervalMs = 10000;
constexpr DWORD kStopTimeOutSeconds = 60;
// Recovery: two restarts a minute after a crash; a third crash within a day
// of the first leaves the service stopped.
constexpr DWORD kCrashRestarts = 2;
constexpr DWORD kCrashRestartDelayMs = 60000;
constexpr DWORD kCrashCountResetSeconds = 86400;

}  // namespace

int SetCrashRecoveryActions(LPCWSTR serviceName) {
    return scSetServiceFailureActionsW(serviceName, kCrashRestarts, kCrashRestartDelayMs,
                                       kCrashCountResetSeconds);
}

void InstallAsService() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"InstallAsService");
    wchar_t path[MAX_PATH] = {};
    // A path cut to the buffer would register whatever lies at the cut-off
    // name (and the platform may leave the buffer unterminated): refused.
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - GetModuleFileName failed(%d)", L"InstallAsService",
                    static_cast<int>(::GetLastError()));
        DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"InstallAsService");
        return;
    }
    wchar_t servicePath[kQuotedPathChars] = {};
    _snwprintf(servicePath, kQuotedPathChars - 1, L"\"%s\"", path);
    DebugTraceW('I', TRACE_SRC_W, L"%s - path = %s, service path = %s", L"InstallAsService", path,
                servicePath);

    const int created =
        scCreateServiceW(servicePath, kServiceName, kServiceName, kServiceDescription, L"");
    if (created == 0) {
        const int started =
            scStartServiceW(kServiceName, kStartAttempts, kStartIntervalMs, kStartPolls);
        DebugTraceW('I', TRACE_SRC_W, L"%s - StartService result(%d)", L"InstallAsService",
                    started);
        // The registration stands whatever this answers: it is only traced.
        const int recovery = SetCrashRecoveryActions(kServiceName);
        DebugTraceW('I', TRACE_SRC_W, L"%s - SetFailureActions result(%d)", L"InstallAsService",
                    recovery);
    } else {
        DebugTraceW('E', TRACE_SRC_W, L"%s - CreateService failed(%d)", L"InstallAsService",
                    created);
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"InstallAsService");
}

void UninstallAsService() {
    const int stopped =
        scStopServiceW(kServiceName, kStopPolls, kStopIntervalMs, kStopTimeOutSeconds);
    if (stopped == 0) {
        const int deleted = scDeleteService(kServiceName);
        DebugTraceW('I', TRACE_SRC_W, L"%s - DeleteService result(%d)", L"UninstallAsService",
                    deleted);
    } else {
        DebugTraceW('E', TRACE_SRC_W, L"%s - StopService failed(%d)", L"UninstallAsService",
                    stopped);
    }
}
