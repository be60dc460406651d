// A service's recovery after a crash: the failure actions the Service
// Control Manager runs when the service's process ends without reporting
// stopped.
#include "sc_configplatform.h"
#include "sc_servicecontrol.h"

#include <vector>

#include "DebugTrace.h"
#include "UniqueHandle.h"

ScConfigPlatform& scConfigPlatform() {
    static ScConfigPlatform platform = {::ChangeServiceConfig2W};
    return platform;
}

namespace {

// Restart actions for the first failures, then none: a service that keeps
// crashing is not restarted for good.
std::vector<SC_ACTION> RestartActions(DWORD restarts, DWORD restartDelayMs) {
    std::vector<SC_ACTION> actions(restarts, SC_ACTION{SC_ACTION_RESTART, restartDelayMs});
    actions.push_back(SC_ACTION{SC_ACTION_NONE, 0});
    return actions;
}

}  // namespace

int scSetServiceFailureActionsW(LPCWSTR serviceName, DWORD restarts, DWORD restartDelayMs,
                                DWORD resetPeriodSeconds) {
    if (serviceName == nullptr) return SC_ERR_NOT_IN_TIME;
    UTIL::unique_sc_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        const int error = static_cast<int>(::GetLastError());
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scSetServiceFailureActionsW] OpenSCManager failed, GetLastError() = %d",
                    error);
        return SC_ERR_OPEN_SCM;
    }
    // A restart action needs the start right besides the change right.
    UTIL::unique_sc_handle service(
        ::OpenServiceW(manager.get(), serviceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!service) {
        const int error = static_cast<int>(::GetLastError());
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scSetServiceFailureActionsW] OpenService(%s) failed, GetLastError() = %d.",
                    serviceName, error);
        return SC_ERR_OPEN_SERVICE;
    }
    std::vector<SC_ACTION> actions = RestartActions(restarts, restartDelayMs);
    SERVICE_FAILURE_ACTIONSW failureActions = {};
    failureActions.dwResetPeriod = resetPeriodSeconds;
    failureActions.cActions = static_cast<DWORD>(actions.size());
    failureActions.lpsaActions = actions.data();
    // Only crashes count: SERVICE_CONFIG_FAILURE_ACTIONS_FLAG stays off, so
    // a service that stops itself with an error code is not restarted.
    if (!scConfigPlatform().changeServiceConfig2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                                                 &failureActions)) {
        const int error = static_cast<int>(::GetLastError());
        DebugTraceW('E', TRACE_SRC_W,
                    L"[scSetServiceFailureActionsW] ChangeServiceConfig2W(%s) failed, "
                    L"GetLastError() = %d",
                    serviceName, error);
        return error;
    }
    DebugTraceW('D', TRACE_SRC_W,
                L"[scSetServiceFailureActionsW] service(%s): restart after %lu ms on the first %lu "
                L"failure(s), then none; reset after %lu s",
                serviceName, restartDelayMs, restarts, resetPeriodSeconds);
    return 0;
}
