// The invalid-signature log: one record, "path<TAB>code" and a NUL, at the
// start of "DSInvalidLogLastInfo.log" in the product's folder.
#include <windows.h>

#include <cwchar>
#include <string>

#include "DebugTrace.h"
#include "PathLinks.h"
#include "UniqueHandle.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kWriteLog[] = L"CVerifyFileSignV2::WriteDigitalSignInvalidLog";
constexpr wchar_t kAppPathKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
constexpr wchar_t kServiceInfoKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";
constexpr wchar_t kLogFileName[] = L"DSInvalidLogLastInfo.log";
constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kValueBytes = 520;
constexpr int kRecordChars = 512;

// Appends `tail` to the folder in `path`; the folder gets its closing
// backslash when the registry value lacks one. False when it does not fit.
bool AppendPath(wchar_t* path, size_t capacity, const wchar_t* tail) {
    size_t length = ::wcsnlen(path, capacity);
    if (length > 0 && path[length - 1] != L'\\') {
        if (length + 1 >= capacity) return false;
        path[length++] = L'\\';
        path[length] = L'\0';
    }
    if (length + ::wcslen(tail) >= capacity) return false;
    ::wcscat(path, tail);
    return true;
}

// Reads one string value of an opened key into `folder` (at most 520 bytes
// into a buffer of 261 characters, always terminated) and appends `subFolder`. False leaves
// `folder` empty.
bool ReadFolderValue(HKEY key, const wchar_t* valueName, const wchar_t* subFolder,
                     const wchar_t* failureFormat, wchar_t* folder, std::wstring* root) {
    DWORD bytes = kValueBytes;
    DWORD type = 0;
    LSTATUS status =
        ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(folder), &bytes);
    // Another type's bytes read as text would make a relative path: the log
    // would land in whatever the current folder is.
    if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
        status = ERROR_INVALID_DATA;
    if (status != ERROR_SUCCESS) {
        DebugTraceW('I', TRACE_SRC_W, failureFormat, kWriteLog, status);
        folder[0] = L'\0';
        return false;
    }
    // The value need not carry its terminator; the buffer holds one more.
    folder[bytes / sizeof(wchar_t)] = L'\0';
    *root = folder;
    if (folder[0] == L'\0' || !AppendPath(folder, kPathChars, subFolder)) {
        folder[0] = L'\0';
        return false;
    }
    return true;
}

HKEY OpenProductKey(const wchar_t* subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

// The folder of the log: "<Application Path>Misc\", or else
// "<Local_Path>TEMP\"; empty when neither can be read. `root` is the value
// it was made from: the installation's folder, whose own placement (behind a
// junction or a symbolic link) is trusted.
void LogFolder(wchar_t* folder, std::wstring* root) {
    folder[0] = L'\0';
    UTIL::unique_hkey appKey(OpenProductKey(kAppPathKey));
    if (appKey) {
        ReadFolderValue(appKey.get(), L"Application Path", L"Misc\\",
                        L"%s - Failed to get registry key _REG_APP_PATH_KEY_NAME, Windows error "
                        L"code: %x",
                        folder, root);
        return;
    }
    UTIL::unique_hkey serviceKey(OpenProductKey(kServiceInfoKey));
    if (serviceKey) {
        ReadFolderValue(serviceKey.get(), L"Local_Path", L"TEMP\\",
                        L"%s - Failed to get registry key _REG_SERVICE_INFORMATION_SECTION, "
                        L"Windows error code: %x",
                        folder, root);
    }
}

// The log's folder must be a plain folder below the trusted root; it stays
// pinned (no delete sharing) while the file is opened in it.
bool CheckLogFolder(const UTIL::CTrustedRoot& root, const wchar_t* folder, const wchar_t* logPath,
                    UTIL::unique_handle* pin) {
    const UTIL::FolderState state = UTIL::CheckFolderBelow(root, folder, pin);
    if (state == UTIL::FolderState::Plain) return true;
    if (state == UTIL::FolderState::Missing) {
        // What the open in a missing folder reported before the check.
        DebugTraceW('W', TRACE_SRC_W, L"%s - Failed to open file: %s, Windows error code: %x",
                    kWriteLog, logPath, ERROR_PATH_NOT_FOUND);
    } else {
        DebugTraceW('W', TRACE_SRC_W, L"%s - Folder %s is %s, nothing written", kWriteLog, folder,
                    UTIL::FolderStateName(state));
    }
    return false;
}

}  // namespace

void CVerifyFileSignV2::WriteDigitalSignInvalidLog(const wchar_t* filePath, DWORD errorCode) {
    wchar_t logPath[kPathChars + 1] = {};
    std::wstring rootPath;
    LogFolder(logPath, &rootPath);
    const std::wstring folder = logPath;
    if (logPath[0] == L'\0' || !AppendPath(logPath, kPathChars, kLogFileName)) return;
    const UTIL::CTrustedRoot root(rootPath.c_str());
    UTIL::unique_handle folderPin;
    if (!CheckLogFolder(root, folder.c_str(), logPath, &folderPin)) return;

    // Opened or created without following a link, and written only when the
    // handle is the one plain file at that very name below the root: a link
    // or a second hard link planted there would have the record overwrite
    // another file. A file this call made and then refused (the folder
    // swapped for a link meanwhile) is removed again through its handle.
    bool created = false;
    UTIL::unique_handle file(UTIL::OpenOrCreateFileNoFollow(logPath, GENERIC_WRITE, 0, &created));
    if (!file) {
        DebugTraceW('W', TRACE_SRC_W, L"%s - Failed to open file: %s, Windows error code: %x",
                    kWriteLog, logPath, ::GetLastError());
        return;
    }
    if (!UTIL::IsSinglePlainFileBelow(file.get(), root, logPath)) {
        if (created) UTIL::DeleteThroughHandle(file.get());
        DebugTraceW('W', TRACE_SRC_W, L"%s - Not a plain file: %s, left alone", kWriteLog,
                    logPath);
        return;
    }
    wchar_t record[kRecordChars] = {};
    // Microsoft printf semantics (wide %s); a cut record is still terminated.
    if (_snwprintf(record, kRecordChars - 1, L"%s\t%d", filePath != nullptr ? filePath : L"",
                   static_cast<int>(errorCode)) < 0) {
        record[kRecordChars - 1] = L'\0';
    }
    const DWORD bytes = static_cast<DWORD>((::wcslen(record) + 1) * sizeof(wchar_t));
    DWORD written = 0;
    // Written at offset 0 without truncating: an older, longer record's tail
    // stays behind this record's NUL.
    ::WriteFile(file.get(), record, bytes, &written, nullptr);
}
