// Check 3: the settings files, read as the service reads them.
#pragma once

#include <windows.h>

#include <ctime>
#include <vector>

#include "DiagReport.h"
#include "ServiceRegistration.h"

// The time the service's process started; 0 when it does not run,
// kStartUnknown when it runs but its start cannot be read.
constexpr __time64_t kStartUnknown = -1;
__time64_t ServiceStartTime(const ServiceRegistration& registration);

std::vector<CheckLine> CheckSettings(const Installation& installation, __time64_t serviceStart,
                                     __time64_t now);
