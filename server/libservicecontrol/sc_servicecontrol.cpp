// Service Control Manager operations. Each operation opens its own handles
// and its owners close them on every path.
#include "sc_servicecontrol.h"

#include "DebugTrace.h"
#include "UniqueHandle.h"

namespace {

using UTIL::unique_sc_handle;

unique_sc_handle OpenManager(DWORD access) {
    return unique_sc_handle(::OpenSCManagerW(nullptr, nullptr, access));
}

unique_sc_handle OpenNamedService(const unique_sc_handle& manager, LPCWSTR name, DWORD access) {
    return unique_sc_handle(::OpenServiceW(manager.get(), name, access));
}

void SetDescription(SC_HANDLE service, LPCWSTR description) {
    SERVICE_DESCRIPTIONW info = {const_cast<LPWSTR>(description)};
    const BOOL set = ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info);
    DebugTraceW('I', TRACE_SRC_W, L"%s - Set service description, bRet=(%d) ErrorCode=(%d)",
                L"scCreateServiceW", set, ::GetLastError());
}

// One start request and its check for the running state.
enum class StartRound { Started, Failed };

StartRound RequestStart(SC_HANDLE service, LPCWSTR name, DWORD round) {
    if (::StartServiceW(service, 0, nullptr)) {
        DebugTraceW('D', TRACE_SRC_W, L"[scStartServiceW] start service(%s) OK, not verify yet",
                    name);
        return StartRound::Started;
    }
    DebugTraceW('D', TRACE_SRC_W,
                L"[scStartServiceW] start service(%s) failed, GetLastError() = %d, round %d", name,
                ::GetLastError(), round);
    return StartRound::Failed;
}

int StartUntilRunning(SC_HANDLE& service, LPCWSTR name, DWORD attempts, DWORD intervalMs,
                      DWORD polls) {
    for (DWORD attempt = 1;; ++attempt) {
        if (RequestStart(service, name, attempt) == StartRound::Started) {
            return WaitForServiceStatusH(SERVICE_RUNNING, service, polls, intervalMs)
                       ? 0
                       : SC_ERR_START;
        }
        ::Sleep(intervalMs);
        if (attempt >= attempts) {
            DebugTraceW('F', TRACE_SRC_W,
                        L"[scStartServiceW] start service(%s) failed for %d times", name, attempts);
            return SC_ERR_START;
        }
    }
}

// Polls once a second, at most `seconds` times, until the service can be
// told to stop (running) or needs nothing (stopped).
int StopWhenSettled(SC_HANDLE service, DWORD seconds) {
    int result = SC_ERR_NOT_IN_TIME;
    for (DWORD poll = 0; poll < seconds; ++poll) {
        SERVICE_STATUS status = {};
        if (!::QueryServiceStatus(service, &status)) {
            result = static_cast<int>(::GetLastError());
            DebugTraceW('D', TRACE_SRC_W,
                        L"[scStopServiceViaSCM] QueryServiceStatus() FAILED, GetLastError() = %d",
                        result);
            return result;
        }
        DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceViaSCM] ssStatus.dwCurrentState = %d",
                    status.dwCurrentState);
        if (status.dwCurrentState == SERVICE_RUNNING) {
            if (::ControlService(service, SERVICE_CONTROL_STOP, &status)) return 0;
            return static_cast<int>(::GetLastError());
        }
        if (status.dwCurrentState == SERVICE_STOPPED) return 0;
        ::Sleep(1000);
    }
    return result;
}

// The product's protected services refuse the stop control: stop them by
// command, at most `polls` times, each followed by up to intervalMs / 1000
// one-second checks of the state.
int StopProtectedByCommand(LPCWSTR name, DWORD polls, DWORD intervalMs) {
    int result = ERROR_INVALID_SERVICE_CONTROL;
    if (!scCopyNeedfulFiles()) return result;
    scInitSIPC();
    bool stopped = false;
    for (DWORD attempt = 0; attempt < polls && !stopped; ++attempt) {
        if (!scHasSIPCChannel()) {
            result = SC_ERR_IPC_INIT;
            DebugTraceW('D', TRACE_SRC_W,
                        L"[scStopServiceW] Stop Service(%s) FAILED because of IPC initialize "
                        L"error. nRetCode = %d",
                        name, result);
            break;
        }
        result = scStopProtectedService(name);
        for (DWORD check = 0; check < intervalMs / 1000; ++check) {
            DWORD state = 0;
            if (scQueryServiceStatusW(name, &state) != 0 || state == SERVICE_STOPPED) {
                stopped = true;
                break;
            }
            ::Sleep(1000);
            DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceW] retry");
        }
    }
    scDeInitSIPC();
    return result;
}

}  // namespace

int scCreateServiceW(LPCWSTR binaryPath, LPCWSTR serviceName, LPCWSTR displayName,
                     LPCWSTR description, LPCWSTR dependencies) {
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - OpenSCManager failed (%d)", L"scCreateServiceW",
                    ::GetLastError());
        return SC_ERR_OPEN_SCM;
    }
    const unique_sc_handle service(
        ::CreateServiceW(manager.get(), serviceName, displayName, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                         binaryPath, nullptr, nullptr, dependencies, nullptr, nullptr));
    const DWORD createError = service ? ERROR_SUCCESS : ::GetLastError();
    SetDescription(service.get(), description);
    if (!service) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - CreateService failed (%d)", L"scCreateServiceW",
                    createError);
        return SC_ERR_OPEN_SERVICE;
    }
    DebugTraceW('E', TRACE_SRC_W, L"%s - Service installed successfully", L"scCreateServiceW");
    return 0;
}

int scDeleteService(LPCWSTR serviceName) {
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DebugTraceW('D', TRACE_SRC_W, L"[scDeleteService] OpenSCMManager failed [%d].",
                    ::GetLastError());
        return SC_ERR_OPEN_SCM;
    }
    const unique_sc_handle service = OpenNamedService(manager, serviceName, DELETE);
    if (!service) {
        DebugTraceW(5, TRACE_SRC_W, L"[scDeleteService] OpenService [%s] failed [%d].", serviceName,
                    ::GetLastError());
        return SC_ERR_OPEN_SERVICE;
    }
    if (!::DeleteService(service.get())) {
        DebugTraceW(5, TRACE_SRC_W, L"[scDeleteService] DeleteService [%s] failed [%d].",
                    serviceName, ::GetLastError());
        // The trace keeps the last error, so this reads the deletion's own.
        return ::GetLastError() == ERROR_IO_PENDING ? SC_ERR_DELETE_PENDING : SC_ERR_DELETE;
    }
    DebugTraceW(5, TRACE_SRC_W, L"[scDeleteService] DeleteService [%s] success.", serviceName);
    return 0;
}

bool WaitForServiceStatusH(DWORD wantedState, SC_HANDLE& service, DWORD polls, DWORD intervalMs) {
    if (service == nullptr) return false;
    // The state is queried before the count is looked at: a count of 0
    // still queries once, as 1 does.
    for (DWORD poll = 0;;) {
        SERVICE_STATUS status = {};
        if (::QueryServiceStatus(service, &status)) {
            if (status.dwCurrentState == wantedState) return true;
            if (status.dwCurrentState == SERVICE_STOPPED) return false;
        }
        ::Sleep(intervalMs);
        if (++poll >= polls) break;
    }
    DebugTraceW('D', TRACE_SRC_W,
                L"[WaitForServiceStatusH] Wait for service status(%d) failed, retry %d times, "
                L"total time = %d milliseconds",
                wantedState, polls, polls * intervalMs);
    return false;
}

bool scWaitForServiceStatus(DWORD wantedState, LPCWSTR serviceName, DWORD polls, DWORD intervalMs) {
    if (serviceName == nullptr) return false;
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scWaitForServiceStatus] OpenSCManager failed, GetLastError() = %d",
                    ::GetLastError());
        return false;
    }
    unique_sc_handle service = OpenNamedService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service) {
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scWaitForServiceStatus] OpenService(%s) failed, GetLastError() = %d.",
                    serviceName, ::GetLastError());
        return false;
    }
    SC_HANDLE handle = service.get();
    return WaitForServiceStatusH(wantedState, handle, polls, intervalMs);
}

int scStartServiceW(LPCWSTR serviceName, DWORD attempts, DWORD intervalMs, DWORD polls) {
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DebugTraceW('F', TRACE_SRC_W, L"[scStartService] OpenSCManager failed, GetLastError() = %d",
                    ::GetLastError());
        return SC_ERR_OPEN_SCM;
    }
    const unique_sc_handle service = OpenNamedService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service) {
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scStartService] OpenService(%s) failed, GetLastError() = %d.", serviceName,
                    ::GetLastError());
        return SC_ERR_OPEN_SERVICE;
    }
    SC_HANDLE handle = service.get();
    if (WaitForServiceStatusH(SERVICE_RUNNING, handle, polls, intervalMs)) return 0;
    return StartUntilRunning(handle, serviceName, attempts, intervalMs, polls);
}

int scStopServiceViaSCM(LPCWSTR serviceName, DWORD timeoutSeconds) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - dwSCMTimeOutInSecond = %d", L"scStopServiceViaSCM",
                timeoutSeconds);
    if (serviceName == nullptr) return SC_ERR_NOT_IN_TIME;
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        const int error = static_cast<int>(::GetLastError());
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scStopServiceViaSCM] OpenSCManager failed, GetLastError() = %d", error);
        return error;
    }
    unique_sc_handle service = OpenNamedService(manager, serviceName, SERVICE_ALL_ACCESS);
    if (!service) {
        const int error = static_cast<int>(::GetLastError());
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scStopServiceViaSCM] OpenService(%s) failed, GetLastError() = %d.",
                    serviceName, error);
        return error;
    }
    const int result = StopWhenSettled(service.get(), timeoutSeconds);
    service.reset();
    DebugTraceW('D', TRACE_SRC_W, L"%s - dwRetCode = %d", L"scStopServiceViaSCM", result);
    return result;
}

int scStopServiceW(LPCWSTR serviceName, DWORD polls, DWORD intervalMs, DWORD timeoutSeconds) {
    DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceW] stop service <%s> <<BEGIN>>>", serviceName);
    if (serviceName == nullptr) return SC_ERR_NOT_IN_TIME;
    int result = scStopServiceViaSCM(serviceName, timeoutSeconds);
    if (result == ERROR_INVALID_SERVICE_CONTROL) {
        result = StopProtectedByCommand(serviceName, polls, intervalMs);
    } else {
        DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceW] RetCode of scStopServiceViaSCM(%s) = %d",
                    serviceName, result);
    }
    if (result == 0) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"[scStopServiceW] scWaitForServiceStatus(SERVICE_STOPPED, %s) %lu , %lu",
                    serviceName, polls, intervalMs);
        if (!scWaitForServiceStatus(SERVICE_STOPPED, serviceName, polls, intervalMs)) {
            DebugTraceW('D', TRACE_SRC_W,
                        L"[scStopServiceW] scWaitForServiceStatus(SERVICE_STOPPED, %s) FAILED",
                        serviceName);
            return SC_ERR_NOT_IN_TIME;
        }
    } else if (result == ERROR_SERVICE_DOES_NOT_EXIST) {
        DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceW] service(%s) does not exist", serviceName);
    } else {
        DebugTraceW('D', TRACE_SRC_W, L"[scStopServiceW] scStopService(%s) FAILED, nRetCode = %d",
                    serviceName, result);
    }
    return result;
}

int scQueryServiceStatusW(LPCWSTR serviceName, DWORD* currentState) {
    const unique_sc_handle manager = OpenManager(SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager) {
        DebugTraceW(5, TRACE_SRC_W, L"[scQueryServiceStatusW] OpenSCMManager failed [%d].",
                    ::GetLastError());
        return SC_ERR_OPEN_SCM;
    }
    const unique_sc_handle service = OpenNamedService(manager, serviceName, SERVICE_QUERY_STATUS);
    if (!service) {
        DebugTraceW(5, TRACE_SRC_W, L"[scQueryServiceStatusW] Open service failed [%d].",
                    ::GetLastError());
        return SC_ERR_OPEN_SERVICE;
    }
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status)) {
        DebugTraceW(5, TRACE_SRC_W, L"[scQueryServiceStatusW] Query service failed [%d].",
                    ::GetLastError());
        return SC_ERR_QUERY;
    }
    if (currentState != nullptr) *currentState = status.dwCurrentState;
    return 0;
}
