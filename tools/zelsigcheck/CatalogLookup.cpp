#include "CatalogLookup.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>

#include <vector>

#include "TrustPlatform.h"
#include "UniqueHandle.h"

std::wstring FirstCatalogListing(HANDLE hFile) {
    const DS::TrustPlatform& platform = DS::Platform();
    GUID action = DRIVER_ACTION_VERIFY;
    HCATADMIN hCatAdmin = nullptr;
    if (!platform.CryptCATAdminAcquireContext(&hCatAdmin, &action, 0)) return {};
    std::wstring path;
    // The same hash as the check: the platform's, from the start of the file.
    ::SetFilePointer(hFile, 0, nullptr, FILE_BEGIN);
    DWORD cbHash = 0;
    platform.CryptCATAdminCalcHashFromFileHandle(hFile, &cbHash, nullptr, 0);
    std::vector<BYTE> hash(cbHash);
    ::SetFilePointer(hFile, 0, nullptr, FILE_BEGIN);
    if (cbHash != 0 &&
        platform.CryptCATAdminCalcHashFromFileHandle(hFile, &cbHash, hash.data(), 0)) {
        HCATINFO hCatInfo =
            platform.CryptCATAdminEnumCatalogFromHash(hCatAdmin, hash.data(), cbHash, 0, nullptr);
        if (hCatInfo != nullptr) {
            CATALOG_INFO info = {};
            info.cbStruct = sizeof(info);
            if (platform.CryptCATCatalogInfoFromContext(hCatInfo, &info, 0)) {
                info.wszCatalogFile[MAX_PATH - 1] = L'\0';
                path = info.wszCatalogFile;
            }
            platform.CryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, 0);
        }
    }
    platform.CryptCATAdminReleaseContext(hCatAdmin, 0);
    return path;
}
