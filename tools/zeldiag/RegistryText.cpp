#include "RegistryText.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "UniqueHandle.h"

namespace {

struct RegistryKey {
    const wchar_t* path;
    REGSAM view;
};

// The service's own key, Local_Path's key (64-bit view, as the start-up
// reads it) and the crash helper's settings (32-bit view, as it reads them).
constexpr RegistryKey kKeys[] = {
    {L"SYSTEM\\CurrentControlSet\\Services\\stvZelSvr", KEY_WOW64_64KEY},
    {L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information", KEY_WOW64_64KEY},
    {L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.", KEY_WOW64_32KEY},
};

std::wstring Hex(const BYTE* data, DWORD size) {
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        wchar_t pair[4] = {};
        _snwprintf(pair, 3, L"%02x", data[i]);
        text += (i ? L" " : L"") + std::wstring(pair);
    }
    return text;
}

// Text of a string value: up to its first terminator.
std::wstring Text(const BYTE* data, DWORD size) {
    const auto* chars = reinterpret_cast<const wchar_t*>(data);
    std::wstring text(chars, size / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

std::wstring MultiText(const BYTE* data, DWORD size) {
    const auto* chars = reinterpret_cast<const wchar_t*>(data);
    std::wstring all(chars, size / sizeof(wchar_t));
    std::wstring text;
    for (size_t start = 0; start < all.size() && all[start] != L'\0';) {
        const size_t end = all.find(L'\0', start);
        text += (text.empty() ? L"" : L" | ") + all.substr(start, end - start);
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return text;
}

std::wstring ValueText(DWORD type, const BYTE* data, DWORD size) {
    switch (type) {
        case REG_SZ:
            return L"REG_SZ: " + Text(data, size);
        case REG_EXPAND_SZ:
            return L"REG_EXPAND_SZ: " + Text(data, size);
        case REG_MULTI_SZ:
            return L"REG_MULTI_SZ: " + MultiText(data, size);
        case REG_DWORD:
            if (size == sizeof(DWORD)) {
                DWORD value = 0;
                memcpy(&value, data, sizeof value);
                wchar_t text[32] = {};
                _snwprintf(text, 31, L"%lu (0x%08lx)", static_cast<unsigned long>(value),
                           static_cast<unsigned long>(value));
                return std::wstring(L"REG_DWORD: ") + text;
            }
            break;
        default:
            break;
    }
    return L"type " + std::to_wstring(type) + L": " + Hex(data, size);
}

std::wstring KeyText(const RegistryKey& key) {
    std::wstring text = std::wstring(L"[HKLM\\") + key.path +
                        (key.view == KEY_WOW64_32KEY ? L"] (32-bit view)\n" : L"]\n");
    UTIL::unique_hkey handle;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.path, 0, KEY_QUERY_VALUE | key.view, handle.put());
    if (opened != ERROR_SUCCESS)
        return text + L"(cannot open: error " + std::to_wstring(opened) + L")\n\n";
    DWORD maxName = 0, maxData = 0;
    RegQueryInfoKeyW(handle.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &maxName, &maxData, nullptr, nullptr);
    std::vector<wchar_t> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD dataBytes = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LONG result = RegEnumValueW(handle.get(), index, name.data(), &nameChars, nullptr,
                                          &type, data.data(), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) {
            text += L"(value " + std::to_wstring(index) + L" unreadable: error " +
                    std::to_wstring(result) + L")\n";
            continue;
        }
        const std::wstring valueName(name.data(), nameChars);
        text += (valueName.empty() ? L"(default)" : valueName) + L" = " +
                ValueText(type, data.data(), dataBytes) + L"\n";
    }
    return text + L"\n";
}

}  // namespace

std::wstring FormatServiceRegistry() {
    std::wstring text;
    for (const RegistryKey& key : kKeys) text += KeyText(key);
    return text;
}
