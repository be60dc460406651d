// Holds one open registry key; opening again closes the key it held.
#pragma once

#include <windows.h>

#include "UniqueHandle.h"

class CScRegKey {
public:
    LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access);
    // Reads a REG_SZ or REG_EXPAND_SZ value of at most `bufferBytes` bytes
    // that ends in its terminating zero; anything else is ERROR_INVALID_DATA.
    LONG QueryStringValue(LPCWSTR name, wchar_t* buffer, DWORD bufferBytes) const;

private:
    UTIL::unique_hkey m_key;
};
