#include "CheckFolders.h"

#include <windows.h>

#include "PathLinks.h"
#include "ProfileCache.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kName[] = L"folders";
constexpr wchar_t kInformationKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";
constexpr DWORD kTempFolderMode = 101;
constexpr wchar_t kRestart[] = L"restart the service: it creates the temp folders at its start";

enum class LocalPathRead { Found, Missing, Denied, NotText };

// "Local_Path" as the service reads it: 64-bit view, a string value.
LocalPathRead ReadLocalPath(std::wstring& localPath) {
    UTIL::unique_hkey key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInformationKey, 0,
                                KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (result == ERROR_SUCCESS) {
        wchar_t value[MAX_PATH + 1] = {};
        DWORD bytes = sizeof value - sizeof(wchar_t);
        DWORD type = REG_NONE;
        result = RegQueryValueExW(key.get(), L"Local_Path", nullptr, &type,
                                  reinterpret_cast<BYTE*>(value), &bytes);
        if (result == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
            return LocalPathRead::NotText;
        if (result == ERROR_SUCCESS) {
            localPath = value;
            if (!localPath.empty() && localPath.back() == L'\\') localPath.pop_back();
            return localPath.empty() ? LocalPathRead::Missing : LocalPathRead::Found;
        }
    }
    return result == ERROR_ACCESS_DENIED ? LocalPathRead::Denied : LocalPathRead::Missing;
}

int ReadMode(const Installation& installation) {
    CProfileCache profile;
    profile.OpenW((installation.product + L"Private\\stvZelSvr.ini").c_str(), 0);
    return static_cast<int>(profile.GetIntW(L"ZOLM", L"Mode", kTempFolderMode, 0));
}

CheckStatus StatusOf(UTIL::FolderState state) {
    switch (state) {
        case UTIL::FolderState::Plain:
            return CheckStatus::Ok;
        case UTIL::FolderState::Missing:
        case UTIL::FolderState::Unreadable:
            return CheckStatus::Warn;
        case UTIL::FolderState::Link:
        case UTIL::FolderState::NotFolder:
            break;
    }
    return CheckStatus::Fail;
}

}  // namespace

CheckLine CheckFolders(const Installation& installation) {
    const int mode = ReadMode(installation);
    if (mode != static_cast<int>(kTempFolderMode))
        return Warn(kName,
                    L"[ZOLM] Mode=" + std::to_wstring(mode) +
                        L" in Private\\stvZelSvr.ini: the service creates no temp folders",
                    L"set Mode to 101 (the default) and restart the service");
    std::wstring localPath;
    switch (ReadLocalPath(localPath)) {
        case LocalPathRead::Found:
            break;
        case LocalPathRead::Denied:
            return NeedsAdministrator(kName, L"Local_Path cannot be read");
        case LocalPathRead::NotText:
            return Fail(kName,
                        L"Local_Path is not a string value: the service creates no temp folders",
                        L"set Local_Path (a string) to the product's local folder and restart the "
                        L"service");
        case LocalPathRead::Missing:
            return Fail(kName,
                        L"Local_Path is not set (HKLM\\SOFTWARE\\Karvelo\\Sentavo\\service\\"
                        L"Information, 64-bit view): the service creates no temp folders",
                        L"set Local_Path to the product's local folder and restart the service");
    }
    // The service's own rule: "Local_Path" is the installation's (a link to
    // it is the administrator's); below it nothing may be a link.
    const UTIL::CTrustedRoot root(localPath.c_str());
    const UTIL::FolderState base = UTIL::CheckFolderBelow(root, localPath.c_str());
    std::wstring found = L"Local_Path " + localPath + L" " + UTIL::FolderStateName(base);
    if (base != UTIL::FolderState::Plain)
        return Fail(kName, found + L": the service cannot make its temp folders there",
                    L"point Local_Path at the product's local folder (a plain folder) and "
                    L"restart the service");
    CheckStatus status = CheckStatus::Ok;
    for (const wchar_t* suffix :
         {L"\\TEMP", L"\\TEMP\\SampleSubmission", L"\\TEMP\\SampleSubmission\\Log"}) {
        const UTIL::FolderState state = UTIL::CheckFolderBelow(root, (localPath + suffix).c_str());
        found += std::wstring(L", ") + (suffix + 1) + L" " + UTIL::FolderStateName(state);
        status = Worse(status, StatusOf(state));
    }
    if (status == CheckStatus::Ok) return Ok(kName, found);
    if (status == CheckStatus::Warn) return Warn(kName, found, kRestart);
    return Fail(kName, found,
                L"remove the link or file standing in place of a temp folder (the service "
                L"refuses to use it), then restart the service");
}
