// The folder of this executable and the copy of the pipe-IPC library and the
// sibling stop libraries from the product's "Application Path" next to it.
#include <cstdlib>
#include <cwchar>

#include "DebugTrace.h"
#include "sc_regkey.h"
#include "sc_servicecontrol.h"

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
constexpr const wchar_t* kNeedfulFiles[] = {L"StvPIPC_64x.dll", L"Quorlin.dll", L"Pelsade.dll",
                                            L"Wextrom.dll"};

// Needful-files state: process-wide, one caller at a time.
wchar_t g_szAppPath[SC_FOLDER_CHARS];
wchar_t g_szExeFolder[SC_FOLDER_CHARS];

// folder (exactly `length` characters at most) + file name into `path`;
// false when the result would not fit.
bool ComposePath(wchar_t (&path)[MAX_PATH], LPCWSTR folder, DWORD length, LPCWSTR fileName) {
    wcsncpy(path, folder, length);
    path[length] = L'\0';
    const size_t used = wcslen(path);
    if (used + wcslen(fileName) >= MAX_PATH) return false;
    wcscat(path, fileName);
    return true;
}

}  // namespace

bool scGetAppFolderPath(wchar_t* folderPath) {
    if (folderPath == nullptr) {
        DebugTraceW('F', TRACE_SRC_W, L"[scGetAppFolderPath] szFolderPath is NULL");
        return false;
    }
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH - 1);
    // A cut path would name a folder above this executable's (and its folder
    // part may not fit the split): counted as a failure.
    if (length >= MAX_PATH - 1) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (length == 0 || length >= MAX_PATH - 1) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"[scGetAppFolderPath] GetModuleFileName() failed, GetLastError() = %d",
                    ::GetLastError());
        return false;
    }
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t directory[_MAX_DIR] = {};
    _wsplitpath_s(modulePath, drive, _MAX_DRIVE, directory, _MAX_DIR, nullptr, 0, nullptr, 0);
    _snwprintf(folderPath, SC_FOLDER_CHARS, L"%s%s", drive, directory);
    folderPath[SC_FOLDER_CHARS - 1] = L'\0';
    DebugTraceW('D', TRACE_SRC_W, L"[scGetAppFolderPath] AppFolderPath = %s", folderPath);
    return true;
}

bool scCopyFile(LPCWSTR sourceFolder, DWORD sourceLength, LPCWSTR targetFolder, DWORD targetLength,
                LPCWSTR fileName) {
    if (sourceFolder == nullptr || targetFolder == nullptr || fileName == nullptr ||
        sourceLength > SC_FOLDER_CHARS || targetLength > SC_FOLDER_CHARS) {
        DebugTraceW('E', TRACE_SRC_W, L"[scCopyFile] failed, NULL pointer");
        return false;
    }
    wchar_t source[MAX_PATH] = {};
    wchar_t target[MAX_PATH] = {};
    const bool composed = ComposePath(source, sourceFolder, sourceLength, fileName) &&
                          ComposePath(target, targetFolder, targetLength, fileName);
    if (!composed) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    if (composed && ::CopyFileW(source, target, TRUE)) {
        DebugTraceW('D', TRACE_SRC_W, L"[scCopyFile] CopyFile() from %s to %s success", source,
                    target);
        return true;
    }
    DebugTraceW('D', TRACE_SRC_W,
                L"[scCopyFile] CopyFile() from %s to %s failed, GetLastError() = %d", source,
                target, ::GetLastError());
    return false;
}

bool scCopyNeedfulFiles() {
    CScRegKey key;
    const LONG opened =
        key.Open(HKEY_LOCAL_MACHINE, kProductKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
    if (opened != ERROR_SUCCESS) {
        DebugTraceW('F', TRACE_SRC_W,
                    L"[scCopyNeedfulFiles] reg.Open() failed, lRetOpen = %d, GetLastError() = %d",
                    opened, ::GetLastError());
        return false;
    }
    const LONG read = key.QueryStringValue(L"Application Path", g_szAppPath, sizeof(g_szAppPath));
    if (read != ERROR_SUCCESS) {
        DebugTraceW('E', TRACE_SRC_W,
                    L"[scCopyNeedfulFiles] reg.QueryStringValue(\"Application Path\") failed, "
                    L"GetLastError() = %d",
                    read);
        return false;
    }
    // Without this executable's folder the copies would go to the current
    // folder (and the libraries be looked for elsewhere): refuse. The
    // failure is traced by scGetAppFolderPath.
    if (!scGetAppFolderPath(g_szExeFolder)) {
        g_szExeFolder[0] = L'\0';
        return false;
    }
    if (_wcsicmp(g_szAppPath, g_szExeFolder) != 0) {
        for (const wchar_t* fileName : kNeedfulFiles) {
            scCopyFile(g_szAppPath, SC_FOLDER_CHARS, g_szExeFolder, SC_FOLDER_CHARS, fileName);
        }
    }
    return true;
}
