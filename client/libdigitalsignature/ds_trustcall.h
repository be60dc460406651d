// Building blocks the signature manager shares between its embedded,
// catalog and certificate-information checks: owners for the CryptoAPI
// objects, the WinTrust records with their fixed settings, and one WinTrust
// verification whose state is closed exactly once.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <softpub.h>

#include <cstddef>
#include <string>

#include "TrustPlatform.h"
#include "UniqueHandle.h"

namespace DSM {

inline void CloseStoreChecked(HCERTSTORE hStore) noexcept {
    ::CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
}
inline void CloseCryptMsg(HCRYPTMSG hMsg) noexcept {
    ::CryptMsgClose(hMsg);
}
inline void FreeCertContext(PCCERT_CONTEXT pCert) noexcept {
    ::CertFreeCertificateContext(pCert);
}
inline void FreeCertChain(PCCERT_CHAIN_CONTEXT pChain) noexcept {
    ::CertFreeCertificateChain(pChain);
}
inline void ReleaseCatAdmin(HCATADMIN hCatAdmin) noexcept {
    DS::Platform().CryptCATAdminReleaseContext(hCatAdmin, 0);
}

using unique_cert_store =
    UTIL::CUniqueAny<UTIL::CNullIsInvalidTraits<HCERTSTORE, CloseStoreChecked>>;
using unique_crypt_msg = UTIL::CUniqueAny<UTIL::CNullIsInvalidTraits<HCRYPTMSG, CloseCryptMsg>>;
using unique_cert_context =
    UTIL::CUniqueAny<UTIL::CNullIsInvalidTraits<PCCERT_CONTEXT, FreeCertContext>>;
using unique_cert_chain =
    UTIL::CUniqueAny<UTIL::CNullIsInvalidTraits<PCCERT_CHAIN_CONTEXT, FreeCertChain>>;
using unique_cat_admin = UTIL::CUniqueAny<UTIL::CNullIsInvalidTraits<HCATADMIN, ReleaseCatAdmin>>;

// Provider flags of every check: WTD_CACHE_ONLY_URL_RETRIEVAL, WTD_SAFER_FLAG,
// WTD_REVOCATION_CHECK_NONE.
constexpr DWORD kProviderFlags =
    WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_SAFER_FLAG | WTD_REVOCATION_CHECK_NONE;

// Record sizes of the platform generations (64-bit layout).
constexpr DWORD kTrustDataSize = static_cast<DWORD>(sizeof(WINTRUST_DATA));
constexpr DWORD kTrustDataExSize = static_cast<DWORD>(sizeof(DS::WinTrustDataEx));
constexpr DWORD kCatalogInfoSize = static_cast<DWORD>(sizeof(WINTRUST_CATALOG_INFO));

// WINTRUST_CATALOG_INFO with the catalog administrator context that newer
// systems append.
struct CatalogInfoEx {
    WINTRUST_CATALOG_INFO info;
    HCATADMIN hCatAdmin;
};
constexpr DWORD kCatalogInfoExSize = static_cast<DWORD>(sizeof(CatalogInfoEx));

#ifdef _WIN64
static_assert(kTrustDataSize == 80 && kTrustDataExSize == 88);
static_assert(kCatalogInfoSize == 64 && kCatalogInfoExSize == 72);
static_assert(sizeof(DS::SignatureSettings) == 32);
#endif

// The strong-signature policy of the multiple-sign platform.
CERT_STRONG_SIGN_PARA* StrongSignPolicy();

// A trust-data record with the settings all checks share: no user interface,
// no revocation, state action verify, the common provider flags.
void InitTrustData(WINTRUST_DATA& data, DWORD dwUnionChoice);

// The file-info record of the embedded checks: the handle when the file
// opened, otherwise the path (WinTrust then opens it itself).
class CEmbeddedSubject {
public:
    explicit CEmbeddedSubject(LPCWSTR pwszFile);
    WINTRUST_FILE_INFO* FileInfo() { return &m_fileInfo; }

private:
    UTIL::unique_handle m_file;
    WINTRUST_FILE_INFO m_fileInfo = {};
};

// One WinTrust verification with WINTRUST_ACTION_GENERIC_VERIFY_V2. The state
// a verification leaves is closed by CloseState() or by the destructor, once.
class CTrustVerification {
public:
    CTrustVerification() = default;
    ~CTrustVerification() { CloseState(); }
    CTrustVerification(const CTrustVerification&) = delete;
    CTrustVerification& operator=(const CTrustVerification&) = delete;

    DS::WinTrustDataEx& Record() { return m_record; }
    WINTRUST_DATA& Data() { return m_record.data; }
    HANDLE State() const { return m_record.data.hWVTStateData; }

    // Returns the WinTrust status; the thread's last error is WinTrust's.
    LONG Verify();
    void CloseState();

private:
    DS::WinTrustDataEx m_record = {};
    bool m_bStateOpen = false;
};

// Signature settings of the multiple-sign platform: a specific signature,
// and the number of secondary signatures reported back.
DS::SignatureSettings MultipleSignSettings(bool bStrongHash);

// The primary signature (index 0), then each secondary one up to the count
// that WinTrust reported with the primary, until decide(status, state)
// accepts one; the previous state is closed before each verification.
template <typename Decide>
bool VerifyEachSignature(CTrustVerification& trust, DS::SignatureSettings& settings,
                         Decide decide) {
    ULONGLONG secondaryCount = 0;  // 64 bits: a reported count of 0xFFFFFFFF still ends
    for (ULONGLONG index = 0; index <= secondaryCount; ++index) {
        trust.CloseState();
        settings.dwIndex = static_cast<DWORD>(index);
        const LONG status = trust.Verify();
        if (index == 0) secondaryCount = settings.cSecondarySigs;
        if (decide(status, trust.State())) return true;
    }
    return false;
}

// Every byte as two upper-case hexadecimal digits.
// The signer decision after WinTrust accepted a signature: flags 0 admit any
// signer; otherwise the state's signer must be in the flags' set. Traces the
// decision under the caller's name.
bool AcceptSigner(const wchar_t* function, HANDLE hState, DWORD dwFlags);

std::wstring HashToText(const BYTE* pbHash, size_t cbHash);

}  // namespace DSM
