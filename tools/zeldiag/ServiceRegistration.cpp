#include "ServiceRegistration.h"

#include <vector>

#include "UniqueHandle.h"

RegistrationPlatform& RegistrationPlatformCalls() {
    static RegistrationPlatform platform = {::QueryServiceConfig2W};
    return platform;
}

namespace {

RegistrationLookup LookupOf(DWORD error) {
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return RegistrationLookup::Missing;
    if (error == ERROR_ACCESS_DENIED) return RegistrationLookup::Denied;
    return RegistrationLookup::Failed;
}

ServiceRegistration NotRead(DWORD error) {
    ServiceRegistration registration;
    registration.lookup = LookupOf(error);
    registration.error = error;
    return registration;
}

std::wstring TextOf(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

bool ReadConfig(SC_HANDLE service, ServiceRegistration& registration) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed)) return false;
    registration.imagePath = TextOf(config->lpBinaryPathName);
    registration.displayName = TextOf(config->lpDisplayName);
    registration.account = TextOf(config->lpServiceStartName);
    registration.serviceType = config->dwServiceType;
    registration.startType = config->dwStartType;
    registration.errorControl = config->dwErrorControl;
    return true;
}

bool ReadDescription(SC_HANDLE service, ServiceRegistration& registration) {
    DWORD needed = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    std::vector<BYTE> buffer(needed);
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), needed, &needed))
        return false;
    registration.description =
        TextOf(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription);
    return true;
}

RecoveryActions ReadRecovery(SC_HANDLE service) {
    RecoveryActions recovery;
    const auto query = RegistrationPlatformCalls().queryServiceConfig2;
    DWORD needed = 0;
    SetLastError(ERROR_SUCCESS);
    query(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(SERVICE_FAILURE_ACTIONSW) ||
        !query(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed)) {
        recovery.error = GetLastError();
        if (recovery.error == ERROR_SUCCESS) recovery.error = ERROR_INVALID_DATA;
        return recovery;
    }
    const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    recovery.read = true;
    recovery.resetPeriodSeconds = info->dwResetPeriod;
    if (info->lpsaActions != nullptr)
        recovery.actions.assign(info->lpsaActions, info->lpsaActions + info->cActions);
    return recovery;
}

bool ReadStatus(SC_HANDLE service, ServiceRegistration& registration) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&registration.status),
                                sizeof registration.status, &needed) != FALSE;
}

}  // namespace

ServiceRegistration ReadServiceRegistration(const wchar_t* serviceName) {
    UTIL::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return NotRead(GetLastError());
    UTIL::unique_sc_handle service(
        OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) return NotRead(GetLastError());
    ServiceRegistration registration;
    if (!ReadConfig(service.get(), registration) || !ReadDescription(service.get(), registration) ||
        !ReadStatus(service.get(), registration)) {
        return NotRead(GetLastError());
    }
    registration.lookup = RegistrationLookup::Found;
    registration.recovery = ReadRecovery(service.get());
    return registration;
}

std::wstring ExecutableOfImagePath(const std::wstring& imagePath) {
    if (imagePath.empty() || imagePath[0] != L'"') return imagePath;
    const size_t closing = imagePath.find(L'"', 1);
    if (closing == std::wstring::npos) return imagePath.substr(1);
    return imagePath.substr(1, closing - 1);
}
