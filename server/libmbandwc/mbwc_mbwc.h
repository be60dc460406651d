// Conversions between a multibyte code page and UTF-16. Sources are
// NUL-terminated and every count includes the terminator. The buffer forms
// refuse, whole and with a trace line, a destination that is too small.
#pragma once

#include <windows.h>

#include <string>

namespace MBWC {

int MBToWC(const char* pszMultiByteStr, wchar_t* pszWideCharStr, int nWideCharLength, UINT CodePage,
           DWORD dwFlags);

int WCToMB(const wchar_t* pszWideCharStr, char* pszMultiByteStr, int nMultiByteLength,
           UINT CodePage, DWORD dwFlags);

int WCToMBString(const wchar_t* pszWideCharStr, std::string& strMultiByte, UINT CodePage,
                 DWORD dwFlags, DWORD* pdwError = nullptr);

std::string WCToMBString(const wchar_t* pszWideCharStr, DWORD* pdwError, UINT CodePage,
                         DWORD dwFlags);

}  // namespace MBWC
