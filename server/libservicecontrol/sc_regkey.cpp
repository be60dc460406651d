#include "sc_regkey.h"

LONG CScRegKey::Open(HKEY parent, LPCWSTR subKey, REGSAM access) {
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(parent, subKey, 0, access, &opened);
    if (result == ERROR_SUCCESS) m_key.reset(opened);
    return result;
}

LONG CScRegKey::QueryStringValue(LPCWSTR name, wchar_t* buffer, DWORD bufferBytes) const {
    if (buffer == nullptr || bufferBytes < sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    DWORD bytes = bufferBytes;
    const LONG result = ::RegQueryValueExW(m_key.get(), name, nullptr, &type,
                                           reinterpret_cast<BYTE*>(buffer), &bytes);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (bytes == 0) {
        buffer[0] = L'\0';
        return ERROR_SUCCESS;
    }
    if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0')
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}
