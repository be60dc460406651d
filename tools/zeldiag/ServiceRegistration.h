// What the Service Control Manager holds for the service "stvZelSvr", read
// with query rights only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum class RegistrationLookup { Found, Missing, Denied, Failed };

// The failure actions the Service Control Manager runs after a crash.
struct RecoveryActions {
    bool read = false;
    DWORD error = ERROR_SUCCESS;  // why they could not be read
    DWORD resetPeriodSeconds = 0;
    std::vector<SC_ACTION> actions;
};

struct ServiceRegistration {
    RegistrationLookup lookup = RegistrationLookup::Failed;
    DWORD error = ERROR_SUCCESS;  // why the lookup did not find it
    std::wstring imagePath;
    std::wstring displayName;
    std::wstring description;
    std::wstring account;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    SERVICE_STATUS_PROCESS status = {};
    RecoveryActions recovery;  // read apart: the registration stands without them
};

// The query of the failure actions, behind a seam: Wine 8 stores none and
// answers QueryServiceConfig2W for them with ERROR_INVALID_LEVEL (124), so
// the tests script what Windows would answer. Product code never changes it.
struct RegistrationPlatform {
    BOOL(WINAPI* queryServiceConfig2)(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer,
                                      DWORD bufferSize, LPDWORD bytesNeeded);
};
RegistrationPlatform& RegistrationPlatformCalls();

ServiceRegistration ReadServiceRegistration(const wchar_t* serviceName);

// The executable an image path names: its first quoted part, or the whole
// path when it is not quoted.
std::wstring ExecutableOfImagePath(const std::wstring& imagePath);
