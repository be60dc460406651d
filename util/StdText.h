// Text for a tool's standard output or error.
#pragma once

#include <windows.h>

#include <string>

namespace UTIL {

// A console gets the wide text as it is; a pipe or a file gets UTF-8.
void WriteStdText(DWORD stdHandle, const std::wstring& text);

}  // namespace UTIL
