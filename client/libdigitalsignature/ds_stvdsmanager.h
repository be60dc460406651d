// Decides whether a file carries a valid Authenticode signature from an
// allowed signer: the embedded signature (with its secondary signatures on
// platforms that support them), then the certificate information, the
// trusted-key list and the system catalogs as fallbacks.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageDigest.h"
#include "TrustPlatform.h"

class CVerifyFileSignV2;

// The signature is valid but its signer is not allowed (customer bit set).
constexpr DWORD ERROR_FAILED_ISSUER_CHECK = 0x20001447;

// Verification flags.
constexpr DWORD DS_VERIFY_KARVELO_SIGNER = 0x1;       // admit "Karvelo, Inc."
constexpr DWORD DS_VERIFY_SYSTEM_SIGNERS = 0x2;       // admit the system signers
constexpr DWORD DS_VERIFY_TRY_CATALOGS = 0x10000;     // fall back on the catalogs

struct VerifyResult {
    uint32_t dwErrorCode = 0;  // 0, the last WinTrust status or ERROR_FAILED_ISSUER_CHECK
    bool bVerified = false;
};

using SignerSet = std::set<std::wstring>;

// Process-wide probe of the system "WinTrust.dll": the multiple-signature
// platform has both newer catalog entry points.
class CSingletonWinTrustHelper {
public:
    static CSingletonWinTrustHelper& Instance();

    CSingletonWinTrustHelper();
    ~CSingletonWinTrustHelper();
    CSingletonWinTrustHelper(const CSingletonWinTrustHelper&) = delete;
    CSingletonWinTrustHelper& operator=(const CSingletonWinTrustHelper&) = delete;

    bool SupportsMultipleSign() const { return m_bSupportsMultipleSign; }
    DS::PfnCryptCATAdminAcquireContext2 AcquireContext2() const { return m_pfnAcquireContext2; }
    DS::PfnCryptCATAdminCalcHashFromFileHandle2 CalcHashFromFileHandle2() const {
        return m_pfnCalcHash2;
    }

private:
    bool m_bSupportsMultipleSign = false;
    HMODULE m_hWinTrust = nullptr;
    DS::PfnCryptCATAdminAcquireContext2 m_pfnAcquireContext2 = nullptr;
    DS::PfnCryptCATAdminCalcHashFromFileHandle2 m_pfnCalcHash2 = nullptr;
};

// The process-wide verifier, created on first use under the global singleton
// lock.
CVerifyFileSignV2& GetVerifyFileSignV2();

class CStvDigitalSignatureManagerEx {
public:
    static VerifyResult VerifyDigitalSignature(LPCWSTR pwszFile, DWORD dwFlags, bool bStrongHash);
    // As VerifyDigitalSignature; a refusal is also written to the
    // invalid-signature log.
    static VerifyResult VerifyDigitalSignatureAndLog(LPCWSTR pwszFile, DWORD dwFlags,
                                                     bool bStrongHash);

    static VerifyResult VerifyEmbeddedSignatureSingleSign(LPCWSTR pwszFile, DWORD dwFlags);
    static VerifyResult VerifyEmbeddedSignatureMultipleSign(LPCWSTR pwszFile, DWORD dwFlags,
                                                            bool bStrongHash);

    static SignerSet PrepareSigners(DWORD dwFlags);
    static std::wstring GetSignerFromhWVTStateData(HANDLE hWVTStateData);
    static bool VerifySignerForDigitalSignature(const std::wstring& signer,
                                                const SignerSet& allowedSigners);

    // Catalog fallbacks: 0 on success, else an error code.
    static uint32_t VerifyByMSCatalogSingleSign(LPCWSTR pwszFile);
    static uint32_t VerifyByMSCatalogMutipleSign(LPCWSTR pwszFile, bool bStrongHash);

    // Certificate-information checks of the embedded PKCS #7 signature. A
    // signature counts only when it was made over the bytes of `file` (the
    // file being verified): the blob and message variants take it too, so
    // that no signature is ever judged apart from the file it must belong to.
    static bool VerifyDigitalSignatureCertInfoFile(LPCWSTR pwszFile, DWORD dwFlags);
    static bool VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& signedMessage,
                                                   DWORD dwFlags, DS::CFileImageDigest& file);
    static bool VerifyDigitalSignatureCertInfo(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags,
                                               DS::CFileImageDigest& file);

    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle(HANDLE hFile);
    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile);
    // Signer information of signer 0; null on failure.
    static std::unique_ptr<BYTE[]> EzMsgGetParam(HCRYPTMSG hMsg);
    static std::wstring EzCertGetSubjectName(PCCERT_CONTEXT pCert);
};
