#include <process.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "DebugTrace.h"
#include "PathLinks.h"
#include "ProfileCache.h"
#include "UniqueHandle.h"
#include "zel_ServiceState.h"

namespace {

using CmdZelInitialize = unsigned char (*)(const wchar_t*, const wchar_t*, void*);
using CmdZelFinalize = unsigned char (*)(const wchar_t*, const wchar_t*);

// GetProcAddress gives a generic pointer; the plug-in's entries have these shapes.
template <typename Entry>
Entry AsEntry(FARPROC proc) {
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(proc));
}

HMODULE g_cmdZelModule = nullptr;
FARPROC g_cmdZelInitialize = nullptr;
FARPROC g_cmdZelFinalize = nullptr;
FARPROC g_cmdZelReloadDebugSetting = nullptr;
FARPROC g_cmdZelProcess = nullptr;
HANDLE g_timerQueue = nullptr;

constexpr wchar_t kInformationKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";
constexpr DWORD kTempFolderMode = 101;
constexpr unsigned kThreadStackSize = 0x10000;
constexpr DWORD kLongPathChars = 32768;  // longest module path the platform gives

// The value is read into 520 bytes; one more character holds the terminator
// a value without one does not bring.
constexpr DWORD kLocalPathBytes = 520;
constexpr size_t kLocalPathChars = kLocalPathBytes / sizeof(wchar_t) + 1;

// The "Local_Path" value, without a trailing backslash; empty when missing.
bool ReadLocalPath(DWORD mode, wchar_t (&path)[kLocalPathChars]) {
    const wchar_t* keyPath = mode == kTempFolderMode ? kInformationKey : L"";
    UTIL::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS)
        return true;
    DWORD bytes = kLocalPathBytes;
    DWORD type = REG_NONE;
    LONG result = RegQueryValueExW(key.get(), L"Local_Path", nullptr, &type,
                                   reinterpret_cast<BYTE*>(path), &bytes);
    // Another type's bytes read as text would name some unrelated folder.
    if (result == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
        result = ERROR_INVALID_DATA;
    if (result != ERROR_SUCCESS) {
        path[0] = L'\0';
        return false;
    }
    path[bytes / sizeof(wchar_t)] = L'\0';
    PathRemoveBackslashW(path);
    return true;
}

// The folder path, or false when it does not fit: a cut path would name
// (and create) a folder other than the one meant.
bool ComposeFolder(wchar_t (&folder)[MAX_PATH], const wchar_t* localPath, const wchar_t* suffix) {
    const int written = _snwprintf(folder, MAX_PATH - 1, L"%s%s", localPath, suffix);
    folder[MAX_PATH - 1] = L'\0';
    return written >= 0 && written < MAX_PATH - 1;
}

// Makes the folder when nothing stands there. A plain folder at its place is
// held in `pin`, so that it stays there while the next level is made in it.
// A link (or anything else) in a folder's place is refused, never followed:
// LocalSystem would make the folders wherever it points; false ends the
// walk. A creation that failed goes unreported, as before.
bool CreateFolderIfMissing(const wchar_t* folder, const UTIL::CTrustedRoot& root,
                           UTIL::unique_handle* pin) {
    UTIL::FolderState state = UTIL::CheckFolderBelow(root, folder, pin);
    if (state == UTIL::FolderState::Missing) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - Create Dir(%s).", L"CreateTempFolder", folder);
        CreateDirectoryW(folder, nullptr);
        state = UTIL::CheckFolderBelow(root, folder, pin);
    }
    if (state == UTIL::FolderState::Plain || state == UTIL::FolderState::Missing) return true;
    DebugTraceW('W', TRACE_SRC_W, L"%s - Dir(%s) is %s, refused.", L"CreateTempFolder", folder,
                UTIL::FolderStateName(state));
    return false;
}

}  // namespace

void CreateTempFolder() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"CreateTempFolder");
    const DWORD mode = ModuleProfile().GetIntW(L"ZOLM", L"Mode", 101, 0);
    wchar_t localPath[kLocalPathChars] = {};
    if (!ReadLocalPath(mode, localPath)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - <<< due to RegQueryValueEx() failure",
                    L"CreateTempFolder");
        return;
    }
    if (localPath[0] != L'\0') {
        const wchar_t* suffixes[] = {L"\\TEMP", L"\\TEMP\\SampleSubmission",
                                     L"\\TEMP\\SampleSubmission\\Log"};
        // "Local_Path" is the installation's: an administrator may have put
        // it behind a link. Below it nothing may be one, measured against
        // its own final path; when that cannot be had, nothing is made.
        const UTIL::CTrustedRoot root(localPath);
        UTIL::unique_handle pins[3];
        for (size_t level = 0; level < 3; ++level) {
            const wchar_t* suffix = mode == kTempFolderMode ? suffixes[level] : L"";
            wchar_t folder[MAX_PATH] = {};
            if (!ComposeFolder(folder, localPath, suffix)) {
                DebugTraceW('E', TRACE_SRC_W, L"%s - Path too long: %s%s", L"CreateTempFolder",
                            localPath, suffix);
                break;
            }
            if (!root.IsKnown()) {
                DebugTraceW('W', TRACE_SRC_W, L"%s - Dir(%s) cannot be resolved, refused.",
                            L"CreateTempFolder", localPath);
                break;
            }
            if (!CreateFolderIfMissing(folder, root, &pins[level])) break;
        }
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"CreateTempFolder");
}

BOOL InitCmdZelHandler() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"InitCmdZelHandler");
    std::vector<wchar_t> folder(kLongPathChars);
    const DWORD length = GetModuleFileNameW(nullptr, folder.data(), kLongPathChars);
    wchar_t path[MAX_PATH] = {};
    // A module path or plug-in path cut to the buffer would name a folder
    // above the executable's or another file: the plug-in is loaded from the
    // executable's own folder under its own name, or not at all.
    bool composed = length != 0 && length < kLongPathChars;
    if (composed) {
        wchar_t* lastSlash = wcsrchr(folder.data(), L'\\');
        if (lastSlash != nullptr) *lastSlash = L'\0';
        const int written =
            _snwprintf(path, MAX_PATH - 1, L"%s\\libCmdHndlrZel.dll", folder.data());
        composed = lastSlash != nullptr && written >= 0 && written < MAX_PATH - 1;
    }
    if (!composed) path[0] = L'\0';
    g_cmdZelModule = composed ? LoadLibraryW(path) : nullptr;
    if (g_cmdZelModule == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - <<< ubale to load %s", L"InitCmdZelHandler", path);
        return FALSE;
    }
    g_cmdZelInitialize = GetProcAddress(g_cmdZelModule, "cmzel_Initialize");
    g_cmdZelFinalize = GetProcAddress(g_cmdZelModule, "cmzel_Finalize");
    g_cmdZelReloadDebugSetting = GetProcAddress(g_cmdZelModule, "cmzel_ReloadDebugSetting");
    g_cmdZelProcess = GetProcAddress(g_cmdZelModule, "cmzel_Process");
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", L"InitCmdZelHandler");
    return g_cmdZelInitialize && g_cmdZelFinalize && g_cmdZelReloadDebugSetting && g_cmdZelProcess
               ? TRUE
               : FALSE;
}

BOOL InitializeCmdZelHandler() {
    if (g_cmdZelInitialize == nullptr) return FALSE;
    auto initialize = AsEntry<CmdZelInitialize>(g_cmdZelInitialize);
    return initialize(L"", L"", nullptr) ? TRUE : FALSE;
}

bool IsCmdZelFinalizeBound() {
    return g_cmdZelFinalize != nullptr;
}

BOOL FinalizeCmdZelHandler() {
    if (g_cmdZelFinalize != nullptr) AsEntry<CmdZelFinalize>(g_cmdZelFinalize)(L"", L"");
    return TRUE;
}

BOOL UnloadCmdZelHandler() {
    g_cmdZelFinalize = nullptr;
    g_cmdZelReloadDebugSetting = nullptr;
    g_cmdZelProcess = nullptr;
    if (g_cmdZelModule != nullptr) FreeLibrary(g_cmdZelModule);
    g_cmdZelModule = nullptr;
    return TRUE;
}

BOOL RegisterWindowsTimerQueue() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"RegisterWindowsTimerQueue");
    g_timerQueue = CreateTimerQueue();
    if (g_timerQueue == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - >>> Fail to create timer queue, err = %d",
                    L"RegisterWindowsTimerQueue", GetLastError());
        return FALSE;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"RegisterWindowsTimerQueue");
    return TRUE;
}

void UnregisterWindowsTimerQueue() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"UnregisterWindowsTimerQueue");
    if (g_timerQueue != nullptr) {
        DeleteTimerQueue(g_timerQueue);
        g_timerQueue = nullptr;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"UnregisterWindowsTimerQueue");
}

BOOL InitService() {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", L"InitService");
    g_scheduledTaskThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, kThreadStackSize, ScheduledTaskThread, nullptr, 0, nullptr));
    CreateTempFolder();
    if (!InitCmdZelHandler()) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Fail to initalize Command Handler", L"InitService");
        return FALSE;
    }
    InitializeCmdZelHandler();
    if (!RegisterWindowsTimerQueue()) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Fail to create Windows timer queue", L"InitService");
        return FALSE;
    }
    if (g_scheduledTaskThread == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Some threads creation failed, will return FALSE",
                    L"InitService");
        return FALSE;
    }
    DebugTraceW('I', TRACE_SRC_W,
                L"%s - Succeed to create all threads, service is running, return TRUE",
                L"InitService");
    runningService = 1;
    return TRUE;
}
