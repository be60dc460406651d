// Loads "Wextrom.dll" only when it is signed by the product's issuer.
#pragma once

#include <windows.h>

HMODULE LoadIssuerCheckedStopLibrary(LPCWSTR path);
