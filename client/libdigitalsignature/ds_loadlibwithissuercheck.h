// Loads a library only after its Authenticode signature has been checked,
// and reports a refused load to the Windows event log.
#pragma once

#include <windows.h>

// Null with the last error set on refusal: ERROR_INVALID_PARAMETER (no
// issuer), ERROR_FILE_NOT_FOUND (missing file or a folder),
// ERROR_FILENAME_EXCED_RANGE (path too long to load unchanged),
// ERROR_FAILED_ISSUER_CHECK (signature check failed) or the loader's error.
HMODULE LoadLibraryWithIssuerCheckW(LPCWSTR lpIssuerName, LPCWSTR lpLibFileName);

// Reports the refused load under the event source "Karvelo Sentavo".
void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(LPCSTR pszLibPath,
                                                                LPCSTR pszIssuerName);
void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(LPCWSTR pwszLibPath,
                                                                LPCWSTR pwszIssuerName);
