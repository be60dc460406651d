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
    DWORD type = REG_NONE;
    // Only a number counts: the text "0" read as four bytes would be 48.
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                           &size) != ERROR_SUCCESS ||
        size != sizeof(value) || type != REG_DWORD) {
        return defaultValue;
    }
    return static_cast<int>(value);
}

}  // namespace EH

void GetExceptionHelpWorkingPath(wchar_t* buffer, DWORD size, int pathType) {
    if (buffer == nullptr || size == 0) return;
    // An unknown type gives the working folder, but its lines name the type
    // as it was passed.
    const bool drive = pathType == EH_PATH_DRIVE;
    if (pathType != EH_PATH_WORKING_DIR && !drive) {
        DebugTraceW('W', TRACE_SRC_W, L"%s - No path type is matched: [%d]. Using working dir.",
                    L"GetExceptionHelpWorkingPath", pathType);
    }
    wchar_t modulePath[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    wchar_t driveText[_MAX_DRIVE] = {};
    wchar_t folder[_MAX_DIR] = {};
    // A cut module path names a folder above the executable's, and its folder
    // part may not fit the split's buffer: no working path then.
    if (length == 0 || length >= MAX_PATH ||
        _wsplitpath_s(modulePath, driveText, _MAX_DRIVE, folder, _MAX_DIR, nullptr, 0, nullptr, 0) !=
            0) {
        buffer[0] = L'\0';
        DebugTraceW('W', TRACE_SRC_W, L"%s - Module path too long: [%d].",
                    L"GetExceptionHelpWorkingPath", static_cast<int>(length));
        return;
    }

    if (drive) {
        _snwprintf(buffer, size, L"%s", driveText);
    } else {
        _snwprintf(buffer, size, L"%s%s", driveText, folder);
    }
    buffer[size - 1] = L'\0';  // _snwprintf leaves a cut result unterminated
    DebugTraceW('D', TRACE_SRC_W, L"%s - Output path[%d]: [%s].", L"GetExceptionHelpWorkingPath",
                pathType, buffer);
}
