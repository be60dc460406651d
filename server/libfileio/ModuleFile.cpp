#include "ModuleFile.h"

#include <psapi.h>

#include <string>
#include <vector>

#include "HeldPath.h"
#include "UniqueHandle.h"

namespace DS {
namespace {

constexpr DWORD kNameChars = 32768;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, ::wcslen(prefix), prefix) == 0;
}

// The mapped file's name in a form CreateFileW opens without a drive-letter
// look-up: Windows gives "\Device\HarddiskVolumeN\...", Wine "\??\C:\...".
std::wstring MappedFileOf(HMODULE module) {
    std::vector<wchar_t> name(kNameChars);
    const DWORD length = ::GetMappedFileNameW(::GetCurrentProcess(), module, name.data(), kNameChars);
    if (length == 0 || length >= kNameChars) return {};
    const std::wstring mapped(name.data(), length);
    if (StartsWith(mapped, L"\\??\\")) return L"\\\\?\\" + mapped.substr(4);
    if (StartsWith(mapped, L"\\Device\\")) return L"\\\\?\\GLOBALROOT" + mapped;
    return {};
}

}  // namespace

bool IsModuleOfHeldFile(HMODULE module, HANDLE held) {
    if (module == nullptr || held == nullptr || held == INVALID_HANDLE_VALUE) return false;
    const std::wstring mapped = MappedFileOf(module);
    if (mapped.empty()) return false;
    // The link itself, should one have been put at the end of that path.
    const UTIL::unique_handle loaded(::CreateFileW(
        mapped.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return loaded && SameFileObject(loaded.get(), held);
}

}  // namespace DS
