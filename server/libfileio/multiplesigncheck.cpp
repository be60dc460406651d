// CVerifyFileSignV2: platform probe, the trusted key list from the key
// provider, and the certificate-information verdict.
#include "multiplesigncheck.h"

#include <cwchar>
#include <new>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "HeldPath.h"
#include "ModuleFile.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kMakerSigner[] = L"Karvelo, Inc.";
constexpr wchar_t kProviderName[] = L"Korvalis.dll";
constexpr wchar_t kNewProviderName[] = L"Korvalis.dll.new";
constexpr DWORD kPathChars = MAX_PATH;

using PfnGetCertificatePublicKeyAmount = int(WINAPI*)();
using PfnGetCertificatePublicKey = BOOL(WINAPI*)(int, BYTE*, DWORD*);

// GetProcAddress gives a generic pointer; each export has its own shape.
template <typename Fn>
Fn ExportAs(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

bool FileExists(const wchar_t* path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// "Korvalis.dll.new" (an update waiting to replace the provider) or else
// "Korvalis.dll", in the folder of the module that holds this code.
bool DefaultProviderPath(wchar_t* path) {
    if (!GetCurrentModulePath(path, kPathChars)) return false;
    wchar_t* lastSlash = ::wcsrchr(path, L'\\');
    if (lastSlash == nullptr) return false;
    lastSlash[1] = L'\0';
    const size_t folderLength = static_cast<size_t>(lastSlash + 1 - path);
    if (folderLength + ::wcslen(kNewProviderName) >= kPathChars) return false;
    ::wcscat(path, kNewProviderName);
    if (!FileExists(path)) ::wcscpy(path + folderLength, kProviderName);
    return true;
}

// The caller's path when given, refused (never cut) when it does not fit.
bool ProviderPath(LPCWSTR pwszLibPath, wchar_t* path) {
    if (pwszLibPath == nullptr || pwszLibPath[0] == L'\0') return DefaultProviderPath(path);
    if (::wcslen(pwszLibPath) >= kPathChars) return false;
    ::wcscpy(path, pwszLibPath);
    return true;
}

HANDLE PinFile(const wchar_t* path) {
    return ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One key of the provider; empty when its size query, allocation or fetch
// fails.
PublicKeyBytes FetchKey(PfnGetCertificatePublicKey getKey, int index) {
    DWORD size = 0;
    if (!getKey(index, nullptr, &size) || size == 0) return {};
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer) return {};
    DWORD fetched = size;
    if (!getKey(index, buffer.get(), &fetched)) return {};
    return PublicKeyBytes(buffer.get(), buffer.get() + (fetched < size ? fetched : size));
}

}  // namespace

CVerifyFileSignV2::CVerifyFileSignV2() {
    ProbeMultipleSignPlatform();
    LoadKorvalisAndUpdatePublicKeyList(nullptr);
}

CVerifyFileSignV2::~CVerifyFileSignV2() {
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
}

// The system WinTrust.dll stays loaded: only the presence of the two newer
// catalog functions matters, and the module is imported anyway.
void CVerifyFileSignV2::ProbeMultipleSignPlatform() {
    wchar_t path[kPathChars + 1] = {};
    const UINT length = ::GetSystemDirectoryW(path, kPathChars);
    HMODULE wintrust = nullptr;
    if (length > 0 && length + ::wcslen(L"\\WinTrust.dll") < kPathChars) {
        ::wcscat(path, L"\\WinTrust.dll");
        wintrust = ::LoadLibraryW(path);
    }
    if (wintrust != nullptr) {
        const DS::TrustPlatform& platform = DS::Platform();
        auto acquire2 = ExportAs<DS::PfnCryptCATAdminAcquireContext2>(
            platform.GetProcAddress(wintrust, "CryptCATAdminAcquireContext2"));
        auto calcHash2 = ExportAs<DS::PfnCryptCATAdminCalcHashFromFileHandle2>(
            platform.GetProcAddress(wintrust, "CryptCATAdminCalcHashFromFileHandle2"));
        if (acquire2 != nullptr && calcHash2 != nullptr) {
            m_pfnAcquireContext2 = acquire2;
            m_pfnCalcHash2 = calcHash2;
            m_bSupportsMultipleSign = true;
            return;
        }
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Do not support multiple sign.",
                L"CVerifyFileSignV2::CVerifyFileSignV2");
}

BOOL CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList(LPCWSTR pwszLibPath) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList";
    wchar_t path[kPathChars + 1] = {};
    BOOL loaded = FALSE;
    if (ProviderPath(pwszLibPath, path)) loaded = PinCheckAndLoad(path);
    DebugTraceW('D', TRACE_SRC_W, L"%s - << %s", kName, path);
    return loaded;
}

// The file stays open, with writing and deleting denied, from before its
// check until it is loaded: the library loaded is the library checked.
BOOL CVerifyFileSignV2::PinCheckAndLoad(const wchar_t* path) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList";
    UTIL::unique_handle pinned(PinFile(path));
    const DWORD pinError = pinned ? ERROR_SUCCESS : ::GetLastError();
    {
        // The check reads the pinned file, never the path again.
        const DS::CHeldFileScope held(path, pinned ? pinned.get() : INVALID_HANDLE_VALUE);
        if (!IntegrityCheckForKorvalis(path)) return FALSE;
    }
    if (!pinned) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to open file: %s, Windows error code: %x",
                    kName, path, pinError);
        return FALSE;
    }
    // Right before the load, with no trace line in between: the path must
    // still lead to the pinned file through no link below its trusted folder.
    DS::FolderPins folders;
    if (!DS::CheckPathLeadsToHeldFile(path, pinned.get(), folders)) {
        folders.clear();
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - The library is not reached without a link below its trusted folder: "
                    L"%s",
                    kName, path);
        return FALSE;
    }
    UTIL::unique_hmodule provider(::LoadLibraryW(path));
    folders.clear();
    if (!provider) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to load library: %s, Windows error code: %x",
                    kName, path, ::GetLastError());
        return FALSE;
    }
    // The loader resolved the path again: a link re-pointed since the check
    // would have loaded another file.
    if (!DS::IsModuleOfHeldFile(provider.get(), pinned.get())) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - The library loaded is not the file checked: %s",
                    kName, path);
        return FALSE;
    }
    pinned.reset();
    if (::GetProcAddress(provider.get(), "GetCertificatePublicKeyAmount") == nullptr ||
        ::GetProcAddress(provider.get(), "GetCertificatePublicKey") == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Function not found", kName);
        return FALSE;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Load Korvalis successfully", kName);
    AddKeysFromProvider(provider.get());
    return TRUE;
}

void CVerifyFileSignV2::AddKeysFromProvider(HMODULE hProvider) {
    auto getAmount = ExportAs<PfnGetCertificatePublicKeyAmount>(
        ::GetProcAddress(hProvider, "GetCertificatePublicKeyAmount"));
    auto getKey = ExportAs<PfnGetCertificatePublicKey>(
        ::GetProcAddress(hProvider, "GetCertificatePublicKey"));
    CAutoCriticalSectionLocker guard(m_keyListLock);
    const int count = getAmount();
    for (int index = 0; index < count; ++index) {
        PublicKeyBytes key = FetchKey(getKey, index);
        if (!key.empty()) m_trustedKeys.insert(std::move(key));
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Total keys loaded: %d",
                L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList",
                static_cast<int>(m_trustedKeys.size()));
}

bool CVerifyFileSignV2::IntegrityCheckForKorvalis(LPCWSTR pwszLibPath) {
    const DS::CHeldFileScope held(pwszLibPath);
    if (!IsIntegrityCheckEnabled(pwszLibPath)) return false;
    PublicKeyBytes primaryKey;
    std::wstring signerName;
    std::vector<PublicKeyBytes> nestedKeys;
    if (!VerifySignatureAndGetCertInfo(pwszLibPath, primaryKey, signerName, nestedKeys)) {
        return false;
    }
    if (::_wcsicmp(signerName.c_str(), kMakerSigner) != 0) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Invalid issuer: %s",
                    L"CVerifyFileSignV2::IntegrityCheckForKorvalis", signerName.c_str());
        return false;
    }
    return true;
}

size_t CVerifyFileSignV2::TrustedKeyCount() {
    CAutoCriticalSectionLocker guard(m_keyListLock);
    return m_trustedKeys.size();
}

bool CVerifyFileSignV2::IsTrustedKey(const PublicKeyBytes& key) {
    CAutoCriticalSectionLocker guard(m_keyListLock);
    return IsTrustedKeyLocked(key);
}

bool CVerifyFileSignV2::IsTrustedKeyLocked(const PublicKeyBytes& key) const {
    return !key.empty() && m_trustedKeys.count(key) != 0;
}

bool CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo(LPCWSTR pwszFile,
                                                          WINTRUST_DATA* pTrustData,
                                                          int /*nReserved*/) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";
    if (pwszFile == nullptr || pTrustData == nullptr) return false;
    const DS::CHeldFileScope held(pwszFile);  // every check below reads this one file
    pTrustData->dwProvFlags = WTD_HASH_ONLY_FLAG;
    const WINTRUST_DATA settings = *pTrustData;

    const LONG status = m_bSupportsMultipleSign
                            ? VerifyEmbeddedSignatureV2(pwszFile, false, settings)
                            : VerifyEmbeddedSignatureV1(pwszFile, settings);
    // An explicitly distrusted certificate does not refuse the file by
    // itself: its key may still be on the list; the hash decides.
    const bool hashMatches =
        status == 0 || (status == TRUST_E_EXPLICIT_DISTRUST && LowLevelVerifyHash(pwszFile));
    if (!hashMatches) {
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - The file hash doesn't match the file signature, error code: %x", kName,
                    status);
        return false;
    }

    PublicKeyBytes primaryKey;
    std::wstring signerName;
    std::vector<PublicKeyBytes> nestedKeys;
    if (!VerifySignatureAndGetCertInfo(pwszFile, primaryKey, signerName, nestedKeys)) return false;

    CAutoCriticalSectionLocker guard(m_keyListLock);
    const bool primaryTrusted = IsTrustedKeyLocked(primaryKey);
    DebugTraceW('D', TRACE_SRC_W, L"%s - Primary signature verified: %d", kName,
                primaryTrusted ? 1 : 0);
    if (primaryTrusted || nestedKeys.empty()) return primaryTrusted;
    bool nestedTrusted = false;
    for (const PublicKeyBytes& key : nestedKeys) {
        if (IsTrustedKeyLocked(key)) {
            nestedTrusted = true;
            break;
        }
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Secondary signature verified: %d", kName,
                nestedTrusted ? 1 : 0);
    return nestedTrusted;
}
