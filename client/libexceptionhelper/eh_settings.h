// Registry settings and paths shared by the helper's source units.
#pragma once

#include <windows.h>

namespace EH {

// Reads one DWORD value of the helper's registry key (32-bit view); a
// missing key or value, or a failed read, gives the default.
int ReadDumpSetting(const wchar_t* valueName, int defaultValue);

}  // namespace EH
