#include "eh_settings.h"

#include <cstdlib>
#include <cwchar>

#include "DebugTrace.h"
#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"

namespace EH {

int ReadDumpSetting(const wchar_t* valueName, int defaultValue) {
    UTIL::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.", 0,
                        KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS) {
        return defaultValue;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                           &size) != ERROR_SUCCESS ||
        size != sizeof(value)) {
        return defaultValue;
    }
    return static_cast<int>(value);
}

}  // namespace EH

void GetExceptionHelpWorkingPath(wchar_t* buffer, DWORD size, int pathType) {
    if (buffer == nullptr || size == 0) return;
    if (pathType != EH_PATH_WORKING_DIR && pathType != EH_PATH_DRIVE) {
        DebugTraceW('W', TRACE_SRC_W, L"%s - No path type is matched: [%d]. Using working dir.",
                    L"GetExceptionHelpWorkingPath", pathType);
        pathType = EH_PATH_WORKING_DIR;
    }
    wchar_t modulePath[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t folder[_MAX_DIR] = {};
    _wsplitpath(modulePath, drive, folder, nullptr, nullptr);

    if (pathType == EH_PATH_DRIVE) {
        _snwprintf(buffer, size, L"%s", drive);
    } else {
        _snwprintf(buffer, size, L"%s%s", drive, folder);
    }
    buffer[size - 1] = L'\0';  // _snwprintf leaves a cut result unterminated
    DebugTraceW('D', TRACE_SRC_W, L"%s - Output path[%d]: [%s].", L"GetExceptionHelpWorkingPath",
                pathType, buffer);
}
