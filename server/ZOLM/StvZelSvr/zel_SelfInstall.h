// Self-installation's recovery step, apart so that a test can drive it.
#pragma once

#include <windows.h>

// Restart after 60 s on the first and second crash, nothing after that, the
// count reset after a day; the result of scSetServiceFailureActionsW.
int SetCrashRecoveryActions(LPCWSTR serviceName);
