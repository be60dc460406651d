#include "InputFile.h"

namespace {

InputFile Problem(InputFile input, DWORD dwError, const wchar_t* problem) {
    input.dwError = dwError;
    input.problem = problem;
    input.hold.reset();
    return input;
}

bool ReadAt(HANDLE hFile, LONGLONG offset, void* buffer, DWORD cb) {
    LARGE_INTEGER at = {};
    at.QuadPart = offset;
    DWORD read = 0;
    return ::SetFilePointerEx(hFile, at, nullptr, FILE_BEGIN) &&
           ::ReadFile(hFile, buffer, cb, &read, nullptr) && read == cb;
}

// The DOS header's "MZ", and "PE\0\0" where its e_lfanew points.
bool HasPeHeaders(HANDLE hFile, LONGLONG size, DWORD& dwReadError) {
    dwReadError = 0;
    IMAGE_DOS_HEADER dos = {};
    if (size < static_cast<LONGLONG>(sizeof(dos))) return false;
    if (!ReadAt(hFile, 0, &dos, sizeof(dos))) {
        dwReadError = ::GetLastError();
        return false;
    }
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        dos.e_lfanew > size - static_cast<LONGLONG>(sizeof(DWORD))) {
        return false;
    }
    DWORD signature = 0;
    if (!ReadAt(hFile, dos.e_lfanew, &signature, sizeof(signature))) {
        dwReadError = ::GetLastError();
        return false;
    }
    return signature == IMAGE_NT_SIGNATURE;
}

}  // namespace

InputFile OpenInputFile(const std::wstring& path) {
    InputFile input;
    input.fullPath = path;
    if (path.empty()) return Problem(std::move(input), ERROR_INVALID_PARAMETER, L"empty file name");
    // The manager and the loader work on paths of at most 259 characters; a
    // longer path is refused here rather than cut into another file's name.
    const DWORD cch = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (cch == 0) return Problem(std::move(input), ::GetLastError(), L"not a valid path");
    std::wstring full(cch, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), cch, &full[0], nullptr);
    full.resize(written < cch ? written : 0);
    if (full.empty()) return Problem(std::move(input), ::GetLastError(), L"not a valid path");
    input.fullPath = full;
    if (path.size() >= MAX_PATH || full.size() >= MAX_PATH) {
        return Problem(std::move(input), ERROR_FILENAME_EXCED_RANGE,
                       L"path longer than 259 characters (the product's limit)");
    }

    const DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD dwError = ::GetLastError();
        const bool missing = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
        const wchar_t* problem = missing                         ? L"file not found"
                                 : dwError == ERROR_INVALID_NAME ? L"not a valid file name"
                                                                 : L"cannot be read";
        return Problem(std::move(input), dwError, problem);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Problem(std::move(input), ERROR_DIRECTORY, L"a folder, not a file");
    }

    // Read sharing only: nobody writes, replaces or deletes the file while
    // it is checked; a file someone holds open for writing is not checked.
    input.hold.reset(::CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!input.hold) {
        const DWORD dwError = ::GetLastError();
        const bool locked = dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION;
        return Problem(
            std::move(input), dwError,
            locked ? L"locked or open for writing by another process" : L"cannot be opened");
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(input.hold.get(), &size)) {
        return Problem(std::move(input), ::GetLastError(), L"cannot be read");
    }
    if (size.QuadPart == 0) return Problem(std::move(input), ERROR_HANDLE_EOF, L"empty file");
    DWORD dwReadError = 0;
    if (!HasPeHeaders(input.hold.get(), size.QuadPart, dwReadError)) {
        if (dwReadError != 0) {
            return Problem(std::move(input), dwReadError,
                           dwReadError == ERROR_LOCK_VIOLATION
                               ? L"locked or open for writing by another process"
                               : L"cannot be read");
        }
        return Problem(std::move(input), ERROR_BAD_EXE_FORMAT,
                       L"not a PE image (no MZ and PE headers)");
    }
    return input;
}
