#include "PathLinks.h"

#include <cwchar>
#include <cwctype>
#include <utility>
#include <vector>

namespace UTIL {
namespace {

std::wstring StripVerbatimPrefix(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

// Calls a platform function of the "buffer, size in characters, returns the
// length needed" shape until the buffer is large enough.
template <typename Fill>
std::wstring GrowingBuffer(Fill fill) {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD chars = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (chars == 0) return {};
        if (chars < buffer.size()) return std::wstring(buffer.data(), chars);
        buffer.resize(chars + 1);
    }
    return {};
}

void DropTrailingSeparators(std::wstring& path) {
    // "C:\" keeps its separator: it is the root, not a trailing one.
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
}

}  // namespace

std::wstring NormalizedFullPath(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') return {};
    std::wstring full = GrowingBuffer([path](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path, size, buffer, nullptr);
    });
    if (full.empty()) return {};
    // Short names are expanded where the object exists; a path to something
    // still to be created keeps the form it was given in.
    std::wstring longForm = GrowingBuffer([&full](wchar_t* buffer, DWORD size) {
        return ::GetLongPathNameW(full.c_str(), buffer, size);
    });
    std::wstring result = StripVerbatimPrefix(longForm.empty() ? full : longForm);
    DropTrailingSeparators(result);
    return result;
}

std::wstring FinalPathOf(HANDLE handle) {
    std::wstring final = GrowingBuffer([handle](wchar_t* buffer, DWORD size) {
        return ::GetFinalPathNameByHandleW(handle, buffer, size,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    final = StripVerbatimPrefix(final);
    DropTrailingSeparators(final);
    return final;
}

bool SameFullPath(const std::wstring& left, const std::wstring& right) {
    if (left.empty() || left.size() != right.size()) return false;
    for (size_t i = 0; i < left.size(); ++i) {
        if (std::towupper(left[i]) != std::towupper(right[i])) return false;
    }
    return true;
}

bool HandleIsAt(HANDLE handle, const wchar_t* path) {
    return SameFullPath(FinalPathOf(handle), NormalizedFullPath(path));
}

namespace {

unique_handle OpenFolderNoFollowShared(const wchar_t* path, DWORD share) {
    return unique_handle(::CreateFileW(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
}

}  // namespace

unique_handle OpenFolderNoFollow(const wchar_t* path) {
    return OpenFolderNoFollowShared(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

FolderState CheckFolder(const wchar_t* path) {
    return CheckFolderAt(path, NormalizedFullPath(path));
}

FolderState CheckFolderAt(const wchar_t* path, const std::wstring& expectedFinalPath,
                          unique_handle* pin) {
    // Without delete sharing the folder cannot be renamed or removed while
    // the pin holds it (Windows).
    const DWORD share = pin != nullptr ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                       : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    unique_handle folder = OpenFolderNoFollowShared(path, share);
    if (!folder) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? FolderState::Missing
                   : FolderState::Unreadable;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(folder.get(), &info)) return FolderState::Unreadable;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FolderState::Link;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderState::NotFolder;
    if (!SameFullPath(FinalPathOf(folder.get()), expectedFinalPath)) return FolderState::Link;
    if (pin != nullptr) *pin = std::move(folder);
    return FolderState::Plain;
}

unique_handle OpenFileNoFollow(const wchar_t* path, DWORD access, DWORD share) {
    return unique_handle(::CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
}

unique_handle OpenOrCreateFileNoFollow(const wchar_t* path, DWORD access, DWORD share) {
    // Two rounds: the file may appear or go between the two calls.
    for (int round = 0; round < 2; ++round) {
        unique_handle file = OpenFileNoFollow(path, access, share);
        if (file || ::GetLastError() != ERROR_FILE_NOT_FOUND) return file;
        file.reset(::CreateFileW(path, access, share, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file || ::GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return unique_handle();
}

bool IsSinglePlainFileAt(HANDLE file, const wchar_t* path, BY_HANDLE_FILE_INFORMATION* info) {
    BY_HANDLE_FILE_INFORMATION own = {};
    BY_HANDLE_FILE_INFORMATION& facts = info != nullptr ? *info : own;
    if (!::GetFileInformationByHandle(file, &facts)) return false;
    if (facts.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // A second hard link would let a write or a deletion here reach a file
    // that lives somewhere else under another name.
    if (facts.nNumberOfLinks != 1) return false;
    return HandleIsAt(file, path);
}

bool RenameThroughHandle(HANDLE file, const wchar_t* newPath) {
    constexpr size_t kMaxChars = 1024;
    constexpr wchar_t kNtPrefix[] = L"\\??\\";  // a full NT path: what the rename takes
    constexpr size_t kPrefixChars = sizeof(kNtPrefix) / sizeof(wchar_t) - 1;
    const size_t chars = newPath != nullptr ? wcsnlen(newPath, kMaxChars + 1) : 0;
    if (chars == 0 || chars > kMaxChars) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    union {
        FILE_RENAME_INFO info;
        BYTE bytes[sizeof(FILE_RENAME_INFO) + (kPrefixChars + kMaxChars) * sizeof(wchar_t)];
    } rename = {};
    rename.info.ReplaceIfExists = TRUE;
    wmemcpy(rename.info.FileName, kNtPrefix, kPrefixChars);
    wmemcpy(rename.info.FileName + kPrefixChars, newPath, chars);
    rename.info.FileNameLength = static_cast<DWORD>((kPrefixChars + chars) * sizeof(wchar_t));
    return ::SetFileInformationByHandle(file, FileRenameInfo, &rename.info,
                                        sizeof(rename.bytes)) != FALSE;
}

bool DeleteThroughHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof(disposition)) != FALSE;
}

const wchar_t* FolderStateName(FolderState state) {
    switch (state) {
        case FolderState::Plain: return L"plain";
        case FolderState::Missing: return L"missing";
        case FolderState::Link: return L"link";
        case FolderState::NotFolder: return L"not a folder";
        case FolderState::Unreadable: return L"unreadable";
    }
    return L"unreadable";
}

}  // namespace UTIL
