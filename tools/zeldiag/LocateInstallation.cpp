#include "LocateInstallation.h"

#include <windows.h>

#include <cwctype>
#include <vector>

const wchar_t kExeBelowProduct[] = L"Bin\\x64\\stvZelSvr.exe";

namespace {

std::wstring FullPathOf(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return L"";
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = GetFullPathNameW(path.c_str(), needed + 1, buffer.data(), nullptr);
    if (length == 0 || length > needed) return L"";
    return std::wstring(buffer.data(), length);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    if (text.size() < tail.size()) return false;
    return _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

bool FromProductFolder(const std::wstring& folder, Installation& installation,
                       std::wstring& error) {
    std::wstring product = FullPathOf(folder);
    if (product.empty()) {
        error = L"'" + folder + L"' is not a usable path";
        return false;
    }
    if (product.back() != L'\\') product += L'\\';
    if (!IsFile(product + kExeBelowProduct)) {
        error = L"no installation in " + product + L": " + kExeBelowProduct + L" is not there";
        return false;
    }
    installation.product = product;
    installation.exe = product + kExeBelowProduct;
    installation.fromRegistration = false;
    return true;
}

bool FromRegistration(const ServiceRegistration& registration, Installation& installation,
                      std::wstring& error) {
    switch (registration.lookup) {
        case RegistrationLookup::Found:
            break;
        case RegistrationLookup::Missing:
            error =
                L"no installation found: the service stvZelSvr is not installed; give "
                L"--product FOLDER";
            return false;
        case RegistrationLookup::Denied:
            error =
                L"the service registration cannot be read (needs administrator rights); "
                L"give --product FOLDER";
            return false;
        case RegistrationLookup::Failed:
            error = L"the service registration cannot be read (error " +
                    std::to_wstring(registration.error) + L"); give --product FOLDER";
            return false;
    }
    const std::wstring exe = ExecutableOfImagePath(registration.imagePath);
    // The product folder is two levels above the executable's, as installed.
    if (!EndsWithNoCase(exe, std::wstring(L"\\") + kExeBelowProduct)) {
        error = L"the service's image path " + registration.imagePath + L" does not end in " +
                kExeBelowProduct + L"; give --product FOLDER";
        return false;
    }
    if (!FromProductFolder(exe.substr(0, exe.size() - wcslen(kExeBelowProduct)), installation,
                           error))
        return false;
    installation.fromRegistration = true;
    return true;
}

}  // namespace

bool LocateInstallation(const std::wstring& productOption, const ServiceRegistration& registration,
                        Installation& installation, std::wstring& error) {
    if (!productOption.empty()) return FromProductFolder(productOption, installation, error);
    return FromRegistration(registration, installation, error);
}
