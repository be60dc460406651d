#include "HeldPath.h"

#include <cstring>

#include "PathLinks.h"

namespace DS {
namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
constexpr DWORD kPathChars = 32768;

// FILE_ID_INFO and its class (18) of Windows 8 SDKs, under our own names so
// the code builds for the Windows 7 target; older systems refuse the class.
struct FileId128 {
    ULONGLONG volumeSerialNumber;
    BYTE identifier[16];
};
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfoClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

bool FileId128Of(HANDLE file, FileId128& id) {
    return ::GetFileInformationByHandleEx(file, kFileIdInfoClass, &id, sizeof(id)) != FALSE;
}

std::wstring ExecutableFolder() {
    std::vector<wchar_t> path(kPathChars);
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kPathChars);
    if (length == 0 || length >= kPathChars) return {};
    std::wstring folder(path.data(), length);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
}

// "Application Path" in the 64-bit view, where the sibling stop libraries
// are copied from.
std::wstring ApplicationPath() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        &key) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<wchar_t> value(MAX_PATH + 1);
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>((value.size() - 1) * sizeof(wchar_t));
    const LONG read = ::RegQueryValueExW(key, L"Application Path", nullptr, &type,
                                         reinterpret_cast<BYTE*>(value.data()), &bytes);
    ::RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) return {};
    return std::wstring(value.data(), ::wcsnlen(value.data(), bytes / sizeof(wchar_t)));
}

std::wstring VolumeRootOf(const std::wstring& fullPath) {
    std::vector<wchar_t> root(kPathChars);
    if (!::GetVolumePathNameW(fullPath.c_str(), root.data(), kPathChars)) return {};
    return root.data();
}

bool IsBelow(const std::wstring& root, const std::wstring& normalizedPath) {
    if (root.empty()) return false;
    const std::wstring normalizedRoot = UTIL::NormalizedFullPath(root.c_str());
    std::wstring relative;
    return !normalizedRoot.empty() &&
           UTIL::RelativeBelow(normalizedRoot, normalizedPath, &relative) && !relative.empty();
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Each folder from the one right below the root down to the file's own,
// plain and where the root's final path says it must be; each stays pinned.
bool FoldersBelowRootArePlain(const UTIL::CTrustedRoot& root, const std::wstring& path,
                              FolderPins& pins) {
    std::wstring relative;
    if (!UTIL::RelativeBelow(root.ConfiguredPath(), path, &relative) || relative.empty()) {
        return false;
    }
    std::wstring folder = root.ConfiguredPath();
    size_t start = 0;
    for (size_t end = relative.find_first_of(L"\\/"); end != std::wstring::npos;
         start = end + 1, end = relative.find_first_of(L"\\/", start)) {
        if (!IsSeparator(folder.back())) folder += L'\\';
        folder += relative.substr(start, end - start);
        UTIL::unique_handle pin;
        if (UTIL::CheckFolderAt(folder.c_str(), root.ExpectedFinalPath(folder.c_str()), &pin) !=
            UTIL::FolderState::Plain) {
            return false;
        }
        pins.push_back(std::move(pin));
    }
    return true;
}

bool IsPlainFile(HANDLE file) {
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) return false;
    return (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

std::wstring TrustedRootFor(const std::wstring& fullPath) {
    const std::wstring normalized = UTIL::NormalizedFullPath(fullPath.c_str());
    if (normalized.empty()) return {};
    const std::wstring exeFolder = ExecutableFolder();
    if (IsBelow(exeFolder, normalized)) return exeFolder;
    const std::wstring appPath = ApplicationPath();
    if (IsBelow(appPath, normalized)) return appPath;
    return VolumeRootOf(normalized);
}

bool SameFileObject(HANDLE left, HANDLE right) {
    FileId128 leftId{};
    FileId128 rightId{};
    const bool leftHas = FileId128Of(left, leftId);
    const bool rightHas = FileId128Of(right, rightId);
    if (leftHas && rightHas) {
        return leftId.volumeSerialNumber == rightId.volumeSerialNumber &&
               std::memcmp(leftId.identifier, rightId.identifier, sizeof(leftId.identifier)) == 0;
    }
    // The platform lacks the 128-bit identifier (or only one handle gave it,
    // which answers nothing): the 64-bit index, on both.
    if (leftHas != rightHas) return false;
    BY_HANDLE_FILE_INFORMATION leftInfo{};
    BY_HANDLE_FILE_INFORMATION rightInfo{};
    if (!::GetFileInformationByHandle(left, &leftInfo) ||
        !::GetFileInformationByHandle(right, &rightInfo)) {
        return false;
    }
    return leftInfo.dwVolumeSerialNumber == rightInfo.dwVolumeSerialNumber &&
           leftInfo.nFileIndexHigh == rightInfo.nFileIndexHigh &&
           leftInfo.nFileIndexLow == rightInfo.nFileIndexLow;
}

bool CheckPathLeadsToHeldFile(const std::wstring& fullPath, HANDLE held, FolderPins& pins) {
    if (held == nullptr || held == INVALID_HANDLE_VALUE) return false;
    const std::wstring path = UTIL::NormalizedFullPath(fullPath.c_str());
    const std::wstring rootPath = TrustedRootFor(path);
    if (path.empty() || rootPath.empty()) return false;
    const UTIL::CTrustedRoot root(rootPath.c_str());
    if (!root.IsKnown() || !FoldersBelowRootArePlain(root, path, pins)) return false;
    if (!IsPlainFile(held) || !UTIL::HandleIsBelowRootAt(held, root, path.c_str())) return false;
    // The name as the loader will open it, a link at its end not followed:
    // it must be the held file, not one that took its place since.
    const UTIL::unique_handle now = UTIL::OpenFileNoFollow(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    return now && IsPlainFile(now.get()) && SameFileObject(now.get(), held);
}

}  // namespace DS
