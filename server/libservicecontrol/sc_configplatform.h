// The Service Control Manager call that writes a service's failure actions,
// behind a seam. Wine 8 answers ChangeServiceConfig2W with
// SERVICE_CONFIG_FAILURE_ACTIONS with TRUE and stores nothing (and cannot
// read them back), so only a test that records the call can see what was
// asked. Product code never changes it.
#pragma once

#include <windows.h>

struct ScConfigPlatform {
    BOOL(WINAPI* changeServiceConfig2)(SC_HANDLE service, DWORD infoLevel, LPVOID info);
};

// The process-wide table; it starts with the platform's function.
ScConfigPlatform& scConfigPlatform();
