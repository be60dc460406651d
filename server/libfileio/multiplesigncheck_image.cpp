// Image checks of the verifier: the force-integrity characteristic of a
// library and the path of the module that holds this code.
#include <windows.h>
#include <imagehlp.h>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "UniqueHandle.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kIsIntegrityCheckEnabled[] = L"IsIntegrityCheckEnabled";

// ImageNtHeader trusts e_lfanew; a file mapped as data may be cut anywhere,
// so the headers it will read must lie inside the file.
bool NtHeadersFitInFile(const void* view, ULONGLONG fileSize) {
    if (fileSize < sizeof(IMAGE_DOS_HEADER)) return false;
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(view);
    if (dos->e_lfanew < 0) return false;
    const ULONGLONG end = static_cast<ULONGLONG>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64);
    return end <= fileSize;
}

// The DLL characteristics sit at the same place in both optional-header
// kinds, but each kind is read through its own type.
bool ForceIntegrityOf(const IMAGE_NT_HEADERS* headers) {
    const WORD magic = headers->OptionalHeader.Magic;
    WORD characteristics = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        characteristics =
            reinterpret_cast<const IMAGE_NT_HEADERS32*>(headers)->OptionalHeader.DllCharacteristics;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        characteristics =
            reinterpret_cast<const IMAGE_NT_HEADERS64*>(headers)->OptionalHeader.DllCharacteristics;
    } else {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Unrecognized platform type: %x",
                    kIsIntegrityCheckEnabled, magic);
        return false;
    }
    return (characteristics & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY) != 0;
}

bool MappedImageForcesIntegrity(HANDLE file) {
    UTIL::unique_handle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to create file mapping, Windows error code: %x",
                    kIsIntegrityCheckEnabled, ::GetLastError());
        return false;
    }
    UTIL::unique_mapped_view view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to call MapViewOfFile, Windows error code: %x",
                    kIsIntegrityCheckEnabled, ::GetLastError());
        return false;
    }
    LARGE_INTEGER fileSize{};
    ::GetFileSizeEx(file, &fileSize);
    const IMAGE_NT_HEADERS* headers = nullptr;
    DWORD error = ERROR_BAD_EXE_FORMAT;
    if (NtHeadersFitInFile(view.get(), static_cast<ULONGLONG>(fileSize.QuadPart))) {
        headers = ::ImageNtHeader(view.get());
        if (headers == nullptr && ::GetLastError() != ERROR_SUCCESS) error = ::GetLastError();
    }
    if (headers == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - failed to ImageNtHeader, err=[%lu]",
                    kIsIntegrityCheckEnabled, error);
        return false;
    }
    return ForceIntegrityOf(headers);
}

}  // namespace

bool IsIntegrityCheckEnabled(const wchar_t* filePath) {
    const wchar_t* shownPath = filePath != nullptr ? filePath : L"null";
    DebugTraceW('D', TRACE_SRC_W, L"%s - >> %s", kIsIntegrityCheckEnabled, shownPath);
    bool enabled = false;
    UTIL::unique_handle file = DS::OpenFileForCheck(filePath);
    if (!file) {
        const DWORD error = filePath == nullptr ? ERROR_INVALID_PARAMETER : ::GetLastError();
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to open file: %s, Windows error code=[%lu]",
                    kIsIntegrityCheckEnabled, shownPath, error);
    } else {
        enabled = MappedImageForcesIntegrity(file.get());
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - << %d", kIsIntegrityCheckEnabled, enabled ? 1 : 0);
    return enabled;
}

BOOL GetCurrentModulePath(wchar_t* buffer, DWORD capacity) {
    HMODULE module = nullptr;
    // Any address inside this code names the module that holds it.
    const auto* address = reinterpret_cast<LPCWSTR>(&GetCurrentModulePath);
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            address, &module)) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to get module handle, Windows error code: %x",
                    L"GetCurrentModulePath", ::GetLastError());
        return FALSE;
    }
    const DWORD length = ::GetModuleFileNameW(module, buffer, capacity);
    // A cut name (length == capacity) is no path at all.
    if (length == 0 || length >= capacity) {
        const DWORD error = length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to get module file name, Windows error code: %x",
                    L"GetCurrentModulePath", error);
        if (capacity > 0) buffer[0] = L'\0';
        ::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
