// Symbolic names of the result codes a signature check can end with.
#pragma once

#include <windows.h>

// The name of a WinTrust, CryptoAPI or Windows code, or "unknown".
const wchar_t* ResultCodeName(DWORD code);
