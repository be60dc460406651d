// Signature check of a file before it is used.
#pragma once

#include <windows.h>

// TRUE when the file is signed by "Karvelo, Inc."; the issuer name serves the
// trace only. FALSE for a null argument.
BOOL CheckFileIssuer(LPCWSTR pwszFile, LPCWSTR pwszIssuerName);
