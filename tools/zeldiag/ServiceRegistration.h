// What the Service Control Manager holds for the service "stvZelSvr", read
// with query rights only.
#pragma once

#include <windows.h>

#include <string>

enum class RegistrationLookup { Found, Missing, Denied, Failed };

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
};

ServiceRegistration ReadServiceRegistration(const wchar_t* serviceName);

// The executable an image path names: its first quoted part, or the whole
// path when it is not quoted.
std::wstring ExecutableOfImagePath(const std::wstring& imagePath);
