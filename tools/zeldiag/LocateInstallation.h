// Where the installation is: the folder given, or the one the service is
// registered from.
#pragma once

#include <string>

#include "DiagReport.h"
#include "ServiceRegistration.h"

// False with `error` set when there is no installation to check.
bool LocateInstallation(const std::wstring& productOption, const ServiceRegistration& registration,
                        Installation& installation, std::wstring& error);

// "Bin\x64\stvZelSvr.exe", below the product folder.
extern const wchar_t kExeBelowProduct[];
