#include "ds_loadlibwithissuercheck.h"

#include <cstdio>
#include <string>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "HeldPath.h"
#include "ModuleFile.h"
#include "UniqueHandle.h"
#include "ds_createprocwithissuercheck.h"
#include "ds_stvdsmanager.h"
#include "mbwc_mbwc.h"
#include "smu_ckvnotifydll.h"

namespace {

constexpr wchar_t kLoaderFunction[] = L"LoadLibraryWithIssuerCheckW";
constexpr wchar_t kEventFunction[] = L"WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed";

constexpr char kEventSource[] = "Karvelo Sentavo";
constexpr DWORD kEventType = 2;
constexpr WORD kEventCategory = 5;
constexpr DWORD kRefusedLoadEventId = 0x80050258;
constexpr size_t kEventTextBytes = 1284;
constexpr char kEventFormat[] =
    "Sentavo agent attempted to load a library not signed by the expected issuer \"%s\". The "
    "process was stopped. Verify the integrity of the library and try again (%s).";

// The buffer the path is handed to LoadLibraryW in, terminator included.
constexpr size_t kLoadPathChars = 261;

HMODULE Refuse(DWORD error) {
    ::SetLastError(error);
    return nullptr;
}

// Resolved once, so that the file checked and the file loaded are one file:
// LoadLibraryW would look for a relative name along its own search path.
std::wstring FullPathOf(LPCWSTR path) {
    const DWORD required = ::GetFullPathNameW(path, 0, nullptr, nullptr);
    if (required == 0) return path;
    std::wstring full(required, L'\0');
    const DWORD length = ::GetFullPathNameW(path, required, full.data(), nullptr);
    if (length == 0 || length >= required) return path;
    full.resize(length);
    return full;
}

bool HasExtension(const std::wstring& path) {
    const size_t nameStart = path.find_last_of(L"\\/");
    const size_t dot = path.rfind(L'.');
    return dot != std::wstring::npos && (nameStart == std::wstring::npos || dot > nameStart);
}

// A name without extension gets "." so that the loader does not add ".dll".
std::wstring LoaderPathOf(const std::wstring& fullPath) {
    return HasExtension(fullPath) ? fullPath : fullPath + L".";
}

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Held from before the check until LoadLibraryW has returned: with write and
// delete sharing denied, the file cannot be replaced in between.
UTIL::unique_handle HoldAgainstReplacement(const std::wstring& path) {
    return UTIL::unique_handle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

HMODULE RefuseForIssuer(const std::wstring& fullPath, LPCWSTR lpIssuerName) {
    DebugTraceW('D', TRACE_SRC_W,
                L"%s - File (%s) is not issued by (%s). Issuer check failed. Write to "
                L"Windows Event Log, SetLastError() to customized error code "
                L"ERROR_FAILED_ISSUER_CHECK (0x%08X) and return NULL.",
                kLoaderFunction, fullPath.c_str(), lpIssuerName, ERROR_FAILED_ISSUER_CHECK);
    WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(fullPath.c_str(), lpIssuerName);
    return Refuse(ERROR_FAILED_ISSUER_CHECK);
}

// LoadLibraryW resolves the path again. Right before it, with no trace line
// in between (a line is a signal to whoever serves the log pipe), the path
// must still lead to the held file through no link below the trusted root;
// the folders below the root stay pinned until the load returns. After it,
// the module mapped must be the held file.
HMODULE LoadHeldFile(const std::wstring& fullPath, LPCWSTR lpIssuerName,
                     UTIL::unique_handle& hold) {
    wchar_t buffer[kLoadPathChars] = {};
    LoaderPathOf(fullPath).copy(buffer, kLoadPathChars - 1);
    DebugTraceW('D', TRACE_SRC_W, L"%s - Calling LoadLibraryW()...", kLoaderFunction);
    DS::FolderPins pins;
    if (!DS::CheckPathLeadsToHeldFile(fullPath, hold.get(), pins)) {
        pins.clear();
        hold.reset();
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - File (%s) is not reached without a link below its trusted folder. Not "
                    L"loaded.",
                    kLoaderFunction, fullPath.c_str());
        return RefuseForIssuer(fullPath, lpIssuerName);
    }
    UTIL::unique_hmodule module(::LoadLibraryW(buffer));
    if (!module) {
        UTIL::CLastErrorPreserver loaderError;
        pins.clear();
        hold.reset();
        return nullptr;
    }
    pins.clear();
    const bool isHeldFile = DS::IsModuleOfHeldFile(module.get(), hold.get());
    hold.reset();
    if (isHeldFile) return module.release();
    DebugTraceW('D', TRACE_SRC_W, L"%s - File (%s) loaded is not the file checked. Freed.",
                kLoaderFunction, fullPath.c_str());
    module.reset();
    return RefuseForIssuer(fullPath, lpIssuerName);
}

}  // namespace

HMODULE LoadLibraryWithIssuerCheckW(LPCWSTR lpIssuerName, LPCWSTR lpLibFileName) {
    if (lpIssuerName == nullptr) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - lpIssuerName is NULL. SetLastError() to ERROR_INVALID_PARAMETER and "
                    L"return NULL.",
                    kLoaderFunction);
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (lpLibFileName == nullptr) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - lpLibFileName is NULL. SetLastError() to ERROR_INVALID_PARAMETER and "
                    L"return NULL.",
                    kLoaderFunction);
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    const std::wstring fileName = lpLibFileName;
    DebugTraceW('D', TRACE_SRC_W, L"%s - File for issuer check is (%s)", kLoaderFunction,
                fileName.c_str());

    const std::wstring fullPath = FullPathOf(fileName.c_str());
    const std::wstring loaderPath = LoaderPathOf(fullPath);
    if (loaderPath.size() >= kLoadPathChars) {
        // Cutting the path could name another file than the one checked.
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - File (%s) does not fit the loader's buffer. SetLastError() to "
                    L"ERROR_FILENAME_EXCED_RANGE and return NULL.",
                    kLoaderFunction, fullPath.c_str());
        return Refuse(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!IsExistingFile(fullPath)) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - File (%s) does not exist. SetLastError() to ERROR_FILE_NOT_FOUND and "
                    L"return NULL.",
                    kLoaderFunction, fullPath.c_str());
        return Refuse(ERROR_FILE_NOT_FOUND);
    }

    UTIL::unique_handle hold = HoldAgainstReplacement(fullPath);
    if (!hold) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - CreateFile failed: [%d].", kLoaderFunction,
                    ::GetLastError());
        return nullptr;
    }
    bool genuine = false;
    {
        // Every read of the check goes through the held file.
        const DS::CHeldFileScope held(fullPath.c_str(), hold.get());
        genuine = CheckFileIssuer(fullPath.c_str(), lpIssuerName) != FALSE;
    }
    if (!genuine) {
        hold.reset();
        return RefuseForIssuer(fullPath, lpIssuerName);
    }
    return LoadHeldFile(fullPath, lpIssuerName, hold);
}

void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(LPCWSTR pwszLibPath,
                                                                LPCWSTR pwszIssuerName) {
    const std::string libPath = MBWC::WCToMBString(pwszLibPath, nullptr, CP_ACP, 0);
    const std::string issuerName = MBWC::WCToMBString(pwszIssuerName, nullptr, CP_ACP, 0);
    WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(libPath.c_str(), issuerName.c_str());
}

void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(LPCSTR pszLibPath,
                                                                LPCSTR pszIssuerName) {
    char text[kEventTextBytes] = {};
    // A longer text is cut at the buffer; _snprintf leaves a cut text
    // unterminated, so the last byte is kept for the terminator.
    _snprintf(text, kEventTextBytes - 1, kEventFormat, pszIssuerName, pszLibPath);

    CKvNotifyDLL notifier;
    if (!notifier.Init()) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - KvNotify initialization failed", kEventFunction);
        return;
    }
    const int initialized = notifier.InitDefaultEventSource(kEventSource, false);
    DebugTraceW('D', TRACE_SRC_W, L"%s - InitDefaultEventSource return %d", kEventFunction,
                initialized);
    HANDLE source = nullptr;
    const int opened = notifier.OpenEventSource(nullptr, kEventSource, &source);
    if (source == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - OpenEventSource failed (%d)", kEventFunction, opened);
        return;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - ReportEventLogEx Msg = %S", kEventFunction, text);
    notifier.ReportEventLogEx(source, kEventType, kEventCategory, kRefusedLoadEventId, text);
    notifier.CloseEventSource(source);
}
