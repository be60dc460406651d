#include "CheckRegistration.h"

#include <cwchar>

#include "ResultNames.h"

namespace {

constexpr wchar_t kName[] = L"registration";
constexpr wchar_t kDescription[] = L"Sentavo ZEL Web Service Module.";
constexpr wchar_t kReinstall[] =
    L"register it again from this installation: Bin\\x64\\stvZelSvr.exe -uninstall, then "
    L"-install";

std::wstring StartTypeName(DWORD startType) {
    switch (startType) {
        case SERVICE_BOOT_START:
            return L"boot start";
        case SERVICE_SYSTEM_START:
            return L"system start";
        case SERVICE_AUTO_START:
            return L"auto start";
        case SERVICE_DEMAND_START:
            return L"demand start";
        case SERVICE_DISABLED:
            return L"disabled";
    }
    return L"start type " + std::to_wstring(startType);
}

std::wstring ServiceTypeName(DWORD serviceType) {
    if (serviceType == SERVICE_WIN32_OWN_PROCESS) return L"own process";
    if (serviceType == SERVICE_WIN32_SHARE_PROCESS) return L"shared process";
    return L"service type " + std::to_wstring(serviceType);
}

std::wstring ErrorControlName(DWORD errorControl) {
    switch (errorControl) {
        case SERVICE_ERROR_IGNORE:
            return L"ignore errors";
        case SERVICE_ERROR_NORMAL:
            return L"normal error control";
        case SERVICE_ERROR_SEVERE:
            return L"severe error control";
        case SERVICE_ERROR_CRITICAL:
            return L"critical error control";
    }
    return L"error control " + std::to_wstring(errorControl);
}

std::wstring StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return L"stopped";
        case SERVICE_START_PENDING:
            return L"start pending";
        case SERVICE_STOP_PENDING:
            return L"stop pending";
        case SERVICE_RUNNING:
            return L"running";
        case SERVICE_CONTINUE_PENDING:
            return L"continue pending";
        case SERVICE_PAUSE_PENDING:
            return L"pause pending";
        case SERVICE_PAUSED:
            return L"paused";
    }
    return L"state " + std::to_wstring(state);
}

std::wstring ExitCodeText(const SERVICE_STATUS_PROCESS& status) {
    std::wstring text = L"last exit " + std::to_wstring(status.dwWin32ExitCode) + L" " +
                        ResultCodeName(status.dwWin32ExitCode);
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        text += L" (service code " + std::to_wstring(status.dwServiceSpecificExitCode) + L")";
    return text;
}

std::wstring Describe(const ServiceRegistration& registration) {
    const SERVICE_STATUS_PROCESS& status = registration.status;
    std::wstring text = registration.imagePath + L", " + StartTypeName(registration.startType) +
                        L", " + ServiceTypeName(registration.serviceType) + L", " +
                        ErrorControlName(registration.errorControl) + L", display name \"" +
                        registration.displayName + L"\", description \"" +
                        registration.description + L"\"; " + StateName(status.dwCurrentState);
    if (status.dwProcessId != 0) text += L", pid " + std::to_wstring(status.dwProcessId);
    return text + L", " + ExitCodeText(status);
}

// What differs from the registration "-install" writes.
std::wstring ConfigDifferences(const ServiceRegistration& registration) {
    std::wstring differences;
    auto note = [&differences](bool same, const wchar_t* what) {
        if (same) return;
        differences += differences.empty() ? L"" : L", ";
        differences += what;
    };
    note(registration.startType == SERVICE_AUTO_START, L"start type (auto start expected)");
    note(registration.serviceType == SERVICE_WIN32_OWN_PROCESS,
         L"service type (own process expected)");
    note(registration.errorControl == SERVICE_ERROR_NORMAL, L"error control (normal expected)");
    note(registration.displayName == L"stvZelSvr", L"display name (\"stvZelSvr\" expected)");
    note(registration.description == kDescription,
         L"description (\"Sentavo ZEL Web Service Module.\" expected)");
    return differences;
}

constexpr wchar_t kRecoveryName[] = L"recovery";
constexpr wchar_t kSetRecovery[] =
    L"set them as -install does (as an administrator): sc failure stvZelSvr reset= 86400 "
    L"actions= restart/60000/restart/60000//0";

std::wstring ActionText(const SC_ACTION& action) {
    const std::wstring after = L" after " + std::to_wstring(action.Delay / 1000) + L" s";
    switch (action.Type) {
        case SC_ACTION_NONE:
            return L"nothing";
        case SC_ACTION_RESTART:
            return L"restart" + after;
        case SC_ACTION_REBOOT:
            return L"reboot" + after;
        case SC_ACTION_RUN_COMMAND:
            return L"run the failure command" + after;
    }
    return L"action " + std::to_wstring(action.Type) + after;
}

// "restart after 60 s, restart after 60 s, then nothing; failure count reset after 86400 s"
std::wstring RecoveryText(const RecoveryActions& recovery) {
    std::wstring text;
    for (size_t index = 0; index < recovery.actions.size(); ++index) {
        const bool last = index + 1 == recovery.actions.size();
        text += index == 0 ? L"" : (last ? L", then " : L", ");
        text += ActionText(recovery.actions[index]);
    }
    return text + L"; failure count reset after " +
           std::to_wstring(recovery.resetPeriodSeconds) + L" s";
}

bool RestartsAfterACrash(const RecoveryActions& recovery) {
    for (const SC_ACTION& action : recovery.actions)
        if (action.Type == SC_ACTION_RESTART) return true;
    return false;
}

}  // namespace

CheckLine CheckRecovery(const ServiceRegistration& registration) {
    const RecoveryActions& recovery = registration.recovery;
    if (!recovery.read) {
        // The platform has no failure actions to give (Wine): not a fault of
        // the installation, and nothing an administrator could set.
        if (recovery.error == ERROR_INVALID_LEVEL)
            return Ok(kRecoveryName,
                      L"the failure actions cannot be read on this system (error 124 "
                      L"ERROR_INVALID_LEVEL)");
        if (recovery.error == ERROR_ACCESS_DENIED)
            return NeedsAdministrator(kRecoveryName, L"the failure actions cannot be read");
        return Warn(kRecoveryName,
                    L"the failure actions cannot be read (error " +
                        std::to_wstring(recovery.error) + L")",
                    L"look at them with sc qfailure stvZelSvr");
    }
    if (!RestartsAfterACrash(recovery)) {
        const std::wstring set =
            recovery.actions.empty() ? L"none set" : RecoveryText(recovery);
        return Warn(kRecoveryName, L"no restart after a crash (failure actions: " + set + L")",
                    kSetRecovery);
    }
    return Ok(kRecoveryName, RecoveryText(recovery));
}

CheckLine CheckRegistration(const Installation& installation,
                            const ServiceRegistration& registration) {
    switch (registration.lookup) {
        case RegistrationLookup::Found:
            break;
        case RegistrationLookup::Missing:
            return Fail(kName, L"the service stvZelSvr is not installed",
                        L"install it as an administrator: Bin\\x64\\stvZelSvr.exe -install");
        case RegistrationLookup::Denied:
            return NeedsAdministrator(kName, L"the registration of stvZelSvr cannot be read");
        case RegistrationLookup::Failed:
            return Warn(kName,
                        L"the registration of stvZelSvr cannot be read (error " +
                            std::to_wstring(registration.error) + L")",
                        L"look at the service with the Services console");
    }
    CheckLine line = Ok(kName, Describe(registration));
    std::vector<std::wstring> todo;
    // The image path "-install" writes: the executable's full path, quoted.
    const std::wstring expected = L"\"" + installation.exe + L"\"";
    if (_wcsicmp(registration.imagePath.c_str(), expected.c_str()) != 0) {
        line.status = CheckStatus::Fail;
        line.found += L"; image path is not " + expected;
        todo.push_back(kReinstall);
    }
    const std::wstring differences = ConfigDifferences(registration);
    if (!differences.empty()) {
        line.status = Worse(line.status, CheckStatus::Warn);
        line.found += L"; differs from what -install writes: " + differences;
        if (todo.empty()) todo.push_back(kReinstall);
    }
    if (registration.status.dwCurrentState != SERVICE_RUNNING) {
        line.status = Worse(line.status, CheckStatus::Warn);
        todo.push_back(
            L"start it (sc start stvZelSvr); if it stops again, its last exit code "
            L"says why");
    }
    line.todo = JoinParts(todo);
    return line;
}
