// Catalog fallbacks: a file without a usable embedded signature passes when a
// system catalog lists its hash and the catalog is signed by a system signer.
#include "ds_stvdsmanager.h"

#include "DebugTrace.h"
#include "HeldFile.h"
#include "ds_trustcall.h"

namespace {

constexpr wchar_t kCalcHash[] = L"CStvDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle";
constexpr wchar_t kCalcHash2[] =
    L"CStvDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2";
constexpr wchar_t kSingleSign[] = L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign";
constexpr wchar_t kMultipleSign[] = L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign";

constexpr DWORD kNoSignature = static_cast<DWORD>(TRUST_E_NOSIGNATURE);

using Manager = CStvDigitalSignatureManagerEx;

UTIL::unique_handle OpenForHash(LPCWSTR pwszFile) {
    return DS::OpenFileForCheck(pwszFile);
}

// Size query, then the hash into a zeroed buffer of that size.
template <typename CalcHash>
std::vector<BYTE> CalcHashInTwoSteps(const wchar_t* function, CalcHash calcHash) {
    DWORD cbHash = 0;
    if (!calcHash(&cbHash, nullptr)) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", function,
                    ::GetLastError());
        return {};
    }
    std::vector<BYTE> hash(cbHash, 0);
    if (cbHash == 0 || !calcHash(&cbHash, hash.data())) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", function,
                    ::GetLastError());
        return {};
    }
    hash.resize(cbHash);
    return hash;
}

// The catalog that lists the hash, by its file path; empty when none does.
// The catalog context is released as soon as its path is known.
std::wstring FindCatalog(const wchar_t* function, HCATADMIN hCatAdmin, std::vector<BYTE>& hash,
                         DWORD& dwError) {
    const DS::TrustPlatform& platform = DS::Platform();
    HCATINFO hCatInfo = platform.CryptCATAdminEnumCatalogFromHash(
        hCatAdmin, hash.data(), static_cast<DWORD>(hash.size()), 0, nullptr);
    if (hCatInfo == nullptr) {
        dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call CryptCATAdminEnumCatalogFromHash(), err=%d", function,
                    dwError);
        return {};
    }
    CATALOG_INFO catalogInfo = {};
    catalogInfo.cbStruct = sizeof(catalogInfo);
    if (!platform.CryptCATCatalogInfoFromContext(hCatInfo, &catalogInfo, 0)) {
        dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call CryptCATCatalogInfoFromContext(), err=%d", function,
                    dwError);
        platform.CryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, 0);
        return {};
    }
    platform.CryptCATAdminReleaseCatalogContext(hCatAdmin, hCatInfo, 0);
    catalogInfo.wszCatalogFile[MAX_PATH - 1] = L'\0';
    return catalogInfo.wszCatalogFile;
}

// Whether WinTrust's signer of a verified catalog is a system signer,
// whatever signers the caller admits.
bool IsSystemSigned(const wchar_t* function, HANDLE hState) {
    return DSM::AcceptSigner(function, hState, DS_VERIFY_SYSTEM_SIGNERS);
}

// The catalog member record for WinTrust: the hash text is the member tag.
DSM::CatalogInfoEx CatalogMember(const std::wstring& catalogPath, const std::wstring& hashText,
                                 LPCWSTR pwszFile, HCATADMIN hCatAdmin, DWORD cbStruct) {
    DSM::CatalogInfoEx member = {};
    member.info.cbStruct = cbStruct;
    member.info.pcwszCatalogFilePath = catalogPath.c_str();
    member.info.pcwszMemberTag = hashText.c_str();
    member.info.pcwszMemberFilePath = pwszFile;
    member.hCatAdmin = hCatAdmin;
    return member;
}

// WinTrust on the catalog member with the multiple-sign settings: true when
// the primary or a secondary signature of the catalog is a system signer's.
// dwStatus keeps the last failure.
bool VerifyCatalogMember(const std::wstring& catalogPath, const std::wstring& hashText,
                         LPCWSTR pwszFile, HCATADMIN hCatAdmin, bool bStrongHash, DWORD& dwStatus) {
    DSM::CatalogInfoEx member =
        CatalogMember(catalogPath, hashText, pwszFile, hCatAdmin, DSM::kCatalogInfoExSize);
    DS::SignatureSettings settings = DSM::MultipleSignSettings(bStrongHash);
    DSM::CTrustVerification trust;
    DSM::InitTrustData(trust.Data(), WTD_CHOICE_CATALOG);
    trust.Data().cbStruct = DSM::kTrustDataExSize;
    trust.Data().pCatalog = &member.info;
    trust.Record().pSignatureSettings = &settings;
    return DSM::VerifyEachSignature(trust, settings, [&](LONG status, HANDLE hState) {
        if (status != 0) {
            DebugTraceW('D', TRACE_SRC_W, L"%s - failed to call WinVerifyTrust(), err=%x",
                        kMultipleSign, status);
            dwStatus = static_cast<DWORD>(status);
            return false;
        }
        if (IsSystemSigned(kMultipleSign, hState)) return true;
        dwStatus = ERROR_FAILED_ISSUER_CHECK;
        return false;
    });
}

// A catalog administrator context for one hash algorithm, or none.
DSM::unique_cat_admin AcquireContextForAlgorithm(const wchar_t* algorithm, bool bStrongHash) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - create context with algorithm=%s", kMultipleSign,
                algorithm);
    const DS::PfnCryptCATAdminAcquireContext2 acquire2 =
        CSingletonWinTrustHelper::Instance().AcquireContext2();
    GUID action = DRIVER_ACTION_VERIFY;
    DSM::unique_cat_admin catAdmin;
    // Without the newer entry point (a single-sign platform) no round can run.
    if (acquire2 == nullptr) ::SetLastError(ERROR_PROC_NOT_FOUND);
    if (acquire2 == nullptr || !acquire2(catAdmin.put(), &action, algorithm,
                                         bStrongHash ? DSM::StrongSignPolicy() : nullptr, 0)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to call CryptCATAdminAcquireContext2(), err=%d",
                    kMultipleSign, ::GetLastError());
        catAdmin.reset();
    }
    return catAdmin;
}

// One algorithm round of the multiple-sign verification: true when a catalog
// signed by a system signer lists the file. dwStatus keeps the last failure.
bool VerifyCatalogRound(LPCWSTR pwszFile, HANDLE hFile, const wchar_t* algorithm, bool bStrongHash,
                        DWORD& dwStatus) {
    const DSM::unique_cat_admin catAdmin = AcquireContextForAlgorithm(algorithm, bStrongHash);
    if (!catAdmin) return false;
    std::vector<BYTE> hash = Manager::EzCATAdminCalcHashFromFileHandle2(catAdmin.get(), hFile);
    if (hash.empty()) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call EzCATAdminCalcHashFromFileHandle2(), err=%d",
                    kMultipleSign, ::GetLastError());
        return false;
    }
    DWORD dwFindError = 0;
    const std::wstring catalogPath = FindCatalog(kMultipleSign, catAdmin.get(), hash, dwFindError);
    if (catalogPath.empty()) return false;
    DebugTraceW('D', TRACE_SRC_W, L"%s - catalog file path=%s", kMultipleSign, catalogPath.c_str());
    const std::wstring hashText = DSM::HashToText(hash.data(), hash.size());
    DebugTraceW('D', TRACE_SRC_W, L"%s - hash algorithm=%s, file hash=%s", kMultipleSign, algorithm,
                hashText.c_str());
    return VerifyCatalogMember(catalogPath, hashText, pwszFile, catAdmin.get(), bStrongHash,
                               dwStatus);
}

}  // namespace

std::vector<BYTE> CStvDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle(HANDLE hFile) {
    if (hFile == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - invalid function parameter", kCalcHash);
        return {};
    }
    const DS::TrustPlatform& platform = DS::Platform();
    return CalcHashInTwoSteps(kCalcHash, [&](DWORD* pcbHash, BYTE* pbHash) {
        return platform.CryptCATAdminCalcHashFromFileHandle(hFile, pcbHash, pbHash, 0) != FALSE;
    });
}

std::vector<BYTE> CStvDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2(
    HCATADMIN hCatAdmin, HANDLE hFile) {
    if (hFile == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - invalid function parameter", kCalcHash2);
        return {};
    }
    const DS::PfnCryptCATAdminCalcHashFromFileHandle2 calcHash2 =
        CSingletonWinTrustHelper::Instance().CalcHashFromFileHandle2();
    return CalcHashInTwoSteps(kCalcHash2, [&](DWORD* pcbHash, BYTE* pbHash) {
        if (calcHash2 == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        return calcHash2(hCatAdmin, hFile, pcbHash, pbHash, 0) != FALSE;
    });
}

uint32_t CStvDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(LPCWSTR pwszFile) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>> try to verify file=%s", kSingleSign, pwszFile);
    const UTIL::unique_handle file = OpenForHash(pwszFile);
    if (!file) {
        const DWORD dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to open file=%s", kSingleSign, pwszFile);
        return dwError;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - create context with algorithm=%s", kSingleSign, L"SHA1");
    const DS::TrustPlatform& platform = DS::Platform();
    GUID action = DRIVER_ACTION_VERIFY;
    DSM::unique_cat_admin catAdmin;
    if (!platform.CryptCATAdminAcquireContext(catAdmin.put(), &action, 0)) {
        const DWORD dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to call CryptCATAdminAcquireContext(), err=%d",
                    kSingleSign, dwError);
        return dwError;
    }
    std::vector<BYTE> hash = EzCATAdminCalcHashFromFileHandle(file.get());
    if (hash.empty()) {
        const DWORD dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call EzCATAdminCalcHashFromFileHandle(), err=%d", kSingleSign,
                    dwError);
        return dwError;
    }
    DWORD dwError = 0;
    const std::wstring catalogPath = FindCatalog(kSingleSign, catAdmin.get(), hash, dwError);
    if (catalogPath.empty()) return dwError;
    const std::wstring hashText = DSM::HashToText(hash.data(), hash.size());
    DebugTraceW('D', TRACE_SRC_W, L"%s - hash algorithm=%s, file hash=%s", kSingleSign, L"SHA1",
                hashText.c_str());

    DSM::CatalogInfoEx member =
        CatalogMember(catalogPath, hashText, pwszFile, nullptr, DSM::kCatalogInfoSize);
    uint32_t result = 0;
    {
        DSM::CTrustVerification trust;
        DSM::InitTrustData(trust.Data(), WTD_CHOICE_CATALOG);
        trust.Data().pCatalog = &member.info;
        const LONG status = trust.Verify();
        if (status != 0) {
            DebugTraceW('D', TRACE_SRC_W, L"%s - failed to call WinVerifyTrust(), err=%x",
                        kSingleSign, status);
            result = static_cast<uint32_t>(status);
        } else if (!IsSystemSigned(kSingleSign, trust.State())) {
            result = ERROR_FAILED_ISSUER_CHECK;
        }
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", kSingleSign);
    return result;
}

uint32_t CStvDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(LPCWSTR pwszFile,
                                                                     bool bStrongHash) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>> try to verify file=%s", kMultipleSign, pwszFile);
    const UTIL::unique_handle file = OpenForHash(pwszFile);
    if (!file) {
        const DWORD dwError = ::GetLastError();
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to open file=%s", kMultipleSign, pwszFile);
        return dwError;
    }
    DWORD dwStatus = kNoSignature;
    bool verified = false;
    for (const wchar_t* algorithm : {L"SHA1", L"SHA256"}) {
        if (VerifyCatalogRound(pwszFile, file.get(), algorithm, bStrongHash, dwStatus)) {
            verified = true;
            break;
        }
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", kMultipleSign);
    return verified ? 0 : dwStatus;
}
