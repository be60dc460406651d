// The WinTrust, CryptoAPI and catalog calls that signature verification goes
// through, as one replaceable table.
//
// Why a table: the verification code has branches for platform features that
// a test machine may not have (the multiple-signature WinTrust of newer
// systems, SHA-256 catalogs, a specific secondary-signature index, the
// timestamp policy, the SIP hash check, catalog membership). The table
// defaults to the real functions; a test installs a scripted copy with
// CScopedTrustPlatform to reach those branches. Product code never changes it.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <mssip.h>

namespace DS {

// WINTRUST_SIGNATURE_SETTINGS of newer SDKs, under our own name so the code
// builds with SDKs that lack it (and does not clash with those that have it).
struct SignatureSettings {
    DWORD cbStruct;
    DWORD dwIndex;
    DWORD dwFlags;
    DWORD cSecondarySigs;
    DWORD dwVerifiedSigIndex;
    CERT_STRONG_SIGN_PARA* pCryptoPolicy;
};

// WINTRUST_DATA with the trailing signature-settings pointer of newer SDKs.
// cbStruct = sizeof(WINTRUST_DATA) leaves the settings unused.
struct WinTrustDataEx {
    WINTRUST_DATA data;
    SignatureSettings* pSignatureSettings;
};

constexpr DWORD kWssVerifySpecific = 0x00000001;      // WSS_VERIFY_SPECIFIC
constexpr DWORD kWssGetSecondarySigCount = 0x00000002;  // WSS_GET_SECONDARY_SIG_COUNT

using PfnCryptCATAdminAcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, PCWSTR,
                                                      PCCERT_STRONG_SIGN_PARA, DWORD);
using PfnCryptCATAdminCalcHashFromFileHandle2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*,
                                                              DWORD);

struct TrustPlatform {
    // Looks up an export of the system "WinTrust.dll": the platform probe
    // finds the two newer catalog functions through it.
    FARPROC(WINAPI* GetProcAddress)(HMODULE, LPCSTR);

    LONG(WINAPI* WinVerifyTrust)(HWND, GUID*, LPVOID);

    BOOL(WINAPI* CryptCATAdminAcquireContext)(HCATADMIN*, const GUID*, DWORD);
    BOOL(WINAPI* CryptCATAdminCalcHashFromFileHandle)(HANDLE, DWORD*, BYTE*, DWORD);
    HCATINFO(WINAPI* CryptCATAdminEnumCatalogFromHash)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*);
    BOOL(WINAPI* CryptCATCatalogInfoFromContext)(HCATINFO, CATALOG_INFO*, DWORD);
    BOOL(WINAPI* CryptCATAdminReleaseCatalogContext)(HCATADMIN, HCATINFO, DWORD);
    BOOL(WINAPI* CryptCATAdminReleaseContext)(HCATADMIN, DWORD);

    BOOL(WINAPI* CertGetCertificateChain)(HCERTCHAINENGINE, PCCERT_CONTEXT, LPFILETIME, HCERTSTORE,
                                          PCERT_CHAIN_PARA, DWORD, LPVOID,
                                          PCCERT_CHAIN_CONTEXT*);
    BOOL(WINAPI* CertVerifyCertificateChainPolicy)(LPCSTR, PCCERT_CHAIN_CONTEXT,
                                                   PCERT_CHAIN_POLICY_PARA,
                                                   PCERT_CHAIN_POLICY_STATUS);

    BOOL(WINAPI* CryptSIPRetrieveSubjectGuidForCatalogFile)(LPCWSTR, HANDLE, GUID*);
    BOOL(WINAPI* CryptSIPGetSignedDataMsg)(SIP_SUBJECTINFO*, DWORD*, DWORD, DWORD*, BYTE*);
    BOOL(WINAPI* CryptSIPVerifyIndirectData)(SIP_SUBJECTINFO*, SIP_INDIRECT_DATA*);
};

// The table of the real functions.
const TrustPlatform& RealTrustPlatform();

// The table in force: the real one unless a test installed another.
const TrustPlatform& Platform();

// Installs a scripted table for its own scope (tests only). The table must
// outlive the scope; scopes nest and restore the previous table.
class CScopedTrustPlatform {
public:
    explicit CScopedTrustPlatform(const TrustPlatform& scripted);
    ~CScopedTrustPlatform();
    CScopedTrustPlatform(const CScopedTrustPlatform&) = delete;
    CScopedTrustPlatform& operator=(const CScopedTrustPlatform&) = delete;

private:
    const TrustPlatform* m_pPrevious;
};

}  // namespace DS
