// The verification entry with its decision tree, the platform probe, the
// allowed-signer lists and the process-wide verifier accessor.
#include "ds_stvdsmanager.h"

#include <exception>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "Locks.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kKarveloSigner[] = L"Karvelo, Inc.";
constexpr const wchar_t* kSystemSigners[] = {
    L"Microsoft Windows",
    L"Microsoft Windows Publisher",
    L"Microsoft Corporation",
    L"Microsoft Windows Component Publisher",
    L"Microsoft Windows Hardware Compatibility Publisher",
};

constexpr wchar_t kHelperCtor[] = L"CSingletonWinTrustHelper::CSingletonWinTrustHelper";
constexpr wchar_t kPrepareSigners[] = L"CStvDigitalSignatureManagerEx::PrepareSigners";
constexpr wchar_t kGetSigner[] = L"CStvDigitalSignatureManagerEx::GetSignerFromhWVTStateData";
constexpr wchar_t kVerifySigner[] =
    L"CStvDigitalSignatureManagerEx::VerifySignerForDigitalSignature";

CVerifyFileSignV2* volatile g_pVerifyFileSignV2 = nullptr;

// The system "WinTrust.dll" by full path, never one found beside the caller.
HMODULE LoadSystemWinTrust() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    if (wcscat_s(path, L"\\WinTrust.dll") != 0) return nullptr;
    return ::LoadLibraryW(path);
}

std::wstring SimpleDisplayName(PCCERT_CONTEXT pCert) {
    const DWORD cch =
        ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (cch <= 1) return {};
    std::wstring name(cch, L'\0');
    ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], cch);
    name.resize(cch - 1);
    return name;
}

}  // namespace

// ---- platform probe ----

CSingletonWinTrustHelper& CSingletonWinTrustHelper::Instance() {
    static CSingletonWinTrustHelper s_helper;  // thread-safe, destroyed at exit
    return s_helper;
}

CSingletonWinTrustHelper::CSingletonWinTrustHelper() {
    m_hWinTrust = LoadSystemWinTrust();
    if (m_hWinTrust == nullptr) return;
    const DS::TrustPlatform& platform = DS::Platform();
    m_pfnAcquireContext2 =
        reinterpret_cast<DS::PfnCryptCATAdminAcquireContext2>(reinterpret_cast<void*>(
            platform.GetProcAddress(m_hWinTrust, "CryptCATAdminAcquireContext2")));
    m_pfnCalcHash2 =
        reinterpret_cast<DS::PfnCryptCATAdminCalcHashFromFileHandle2>(reinterpret_cast<void*>(
            platform.GetProcAddress(m_hWinTrust, "CryptCATAdminCalcHashFromFileHandle2")));
    if (m_pfnAcquireContext2 != nullptr && m_pfnCalcHash2 != nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - support multiple sign platform", kHelperCtor);
        m_bSupportsMultipleSign = true;
        return;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - support single sign platform", kHelperCtor);
    m_pfnAcquireContext2 = nullptr;
    m_pfnCalcHash2 = nullptr;
    ::FreeLibrary(m_hWinTrust);
    m_hWinTrust = nullptr;
}

CSingletonWinTrustHelper::~CSingletonWinTrustHelper() {
    m_pfnAcquireContext2 = nullptr;
    m_pfnCalcHash2 = nullptr;
    if (m_hWinTrust != nullptr) ::FreeLibrary(m_hWinTrust);
    m_hWinTrust = nullptr;
}

// ---- the process-wide verifier ----

CVerifyFileSignV2& GetVerifyFileSignV2() {
    return *UTIL::LazySingleInstance<CVerifyFileSignV2>(g_pVerifyFileSignV2);
}

// ---- allowed signers ----

SignerSet CStvDigitalSignatureManagerEx::PrepareSigners(DWORD dwFlags) {
    SignerSet signers;
    if ((dwFlags & DS_VERIFY_KARVELO_SIGNER) != 0) signers.insert(kKarveloSigner);
    if ((dwFlags & DS_VERIFY_SYSTEM_SIGNERS) != 0) {
        for (const wchar_t* name : kSystemSigners) signers.insert(name);
    }
    if (signers.empty()) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - allowed signers=ALL", kPrepareSigners);
        return signers;
    }
    std::wstring list;
    for (const std::wstring& name : signers) list += L"[" + name + L"],";
    DebugTraceW('D', TRACE_SRC_W, L"%s - allowed signers=%s", kPrepareSigners, list.c_str());
    return signers;
}

std::wstring CStvDigitalSignatureManagerEx::GetSignerFromhWVTStateData(HANDLE hWVTStateData) {
    CRYPT_PROVIDER_DATA* pProvData = ::WTHelperProvDataFromStateData(hWVTStateData);
    if (pProvData == nullptr) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call WTHelperProvDataFromStateData() to get Provider Data",
                    kGetSigner);
        return {};
    }
    CRYPT_PROVIDER_SGNR* pSigner = ::WTHelperGetProvSignerFromChain(pProvData, 0, FALSE, 0);
    if (pSigner == nullptr) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - failed to call WTHelperGetProvSignerFromChain() to get Provider Signer",
                    kGetSigner);
        return {};
    }
    CRYPT_PROVIDER_CERT* pProvCert = ::WTHelperGetProvCertFromChain(pSigner, 0);
    if (pProvCert == nullptr) {
        DebugTraceW(
            'D', TRACE_SRC_W,
            L"%s - failed to call WTHelperGetProvCertFromChain() to get Provider Certificate",
            kGetSigner);
        return {};
    }
    if (pProvCert->pCert == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to get Signer Certificate", kGetSigner);
        return {};
    }
    try {
        std::wstring signer = SimpleDisplayName(pProvCert->pCert);
        DebugTraceW('D', TRACE_SRC_W, L"%s - get signer=[%s] for the digital signature", kGetSigner,
                    signer.c_str());
        return signer;
    } catch (const std::exception& e) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - exception was thrown=[%S]", kGetSigner, e.what());
        return {};
    }
}

bool CStvDigitalSignatureManagerEx::VerifySignerForDigitalSignature(
    const std::wstring& signer, const SignerSet& allowedSigners) {
    if (allowedSigners.empty()) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - no need to check signers, bypass", kVerifySigner);
        return true;
    }
    if (allowedSigners.count(signer) != 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - signer=[%s] is in trusted list", kVerifySigner,
                    signer.c_str());
        return true;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - signer=[%s] is not in trusted list", kVerifySigner,
                signer.c_str());
    return false;
}

// ---- the entry ----

VerifyResult CStvDigitalSignatureManagerEx::VerifyDigitalSignature(LPCWSTR pwszFile, DWORD dwFlags,
                                                                   bool bStrongHash) {
    constexpr VerifyResult kAccepted = {0, true};
    // Opened and held once: WinTrust, the catalog hash, the signed data and
    // the image digest all read this one file.
    const DS::CHeldFileScope held(pwszFile);
    if (CSingletonWinTrustHelper::Instance().SupportsMultipleSign()) {
        const VerifyResult embedded =
            VerifyEmbeddedSignatureMultipleSign(pwszFile, dwFlags, bStrongHash);
        if (embedded.bVerified) return embedded;
        if ((dwFlags & DS_VERIFY_TRY_CATALOGS) == 0) return embedded;
        return VerifyByMSCatalogMutipleSign(pwszFile, bStrongHash) == 0 ? kAccepted : embedded;
    }
    const VerifyResult embedded = VerifyEmbeddedSignatureSingleSign(pwszFile, dwFlags);
    if (embedded.bVerified) return embedded;
    if (VerifyDigitalSignatureCertInfoFile(pwszFile, dwFlags)) return kAccepted;
    if ((dwFlags & DS_VERIFY_TRY_CATALOGS) == 0) return embedded;
    return VerifyByMSCatalogSingleSign(pwszFile) == 0 ? kAccepted : embedded;
}

VerifyResult CStvDigitalSignatureManagerEx::VerifyDigitalSignatureAndLog(LPCWSTR pwszFile,
                                                                         DWORD dwFlags,
                                                                         bool bStrongHash) {
    const VerifyResult result = VerifyDigitalSignature(pwszFile, dwFlags, bStrongHash);
    if (!result.bVerified) {
        GetVerifyFileSignV2().WriteDigitalSignInvalidLog(pwszFile, result.dwErrorCode);
    }
    return result;
}
