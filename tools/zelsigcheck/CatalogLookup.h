// The path of the catalog that the catalog database lists first for a
// file's hash: the catalog the single-sign check consulted, whose path that
// check does not trace.
#pragma once

#include <windows.h>

#include <string>

// Empty when no catalog lists the file.
std::wstring FirstCatalogListing(HANDLE hFile);
