// Last line of the signature checks: a file whose WinTrust verdict failed is
// still accepted when its hash matches its signature and the public key of its
// signer, or of a nested signer, is on the trusted key list served by the
// key-provider library "Korvalis.dll". Also keeps the one-record log of the
// last file whose verification failed ("DSInvalidLogLastInfo.log").
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageDigest.h"
#include "Locks.h"
#include "TrustPlatform.h"

// Raw subject-public-key bits of a certificate (no algorithm identifier).
using PublicKeyBytes = std::vector<BYTE>;

class CVerifyFileSignV2 {
public:
    // Probes the platform and loads the key list from the default provider.
    CVerifyFileSignV2();
    ~CVerifyFileSignV2();
    CVerifyFileSignV2(const CVerifyFileSignV2&) = delete;
    CVerifyFileSignV2& operator=(const CVerifyFileSignV2&) = delete;

    // Hash check with the caller's WinTrust settings, then the signer's (or a
    // nested signer's) key against the trusted list.
    bool VerifyEmbeddedSignatureByCertInfo(LPCWSTR pwszFile, WINTRUST_DATA* pTrustData,
                                           int nReserved);

    // Writes "<path>\t<signed error code>" and a NUL at offset 0 of the log.
    void WriteDigitalSignInvalidLog(LPCWSTR pwszFile, DWORD dwErrorCode);

    // Null or empty path: "Korvalis.dll.new" or else "Korvalis.dll" beside
    // the module holding this code. Keys are only ever added.
    BOOL LoadKorvalisAndUpdatePublicKeyList(LPCWSTR pwszLibPath);
    bool IntegrityCheckForKorvalis(LPCWSTR pwszLibPath);

    LONG VerifyEmbeddedSignatureV1(LPCWSTR pwszFile);
    LONG VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongHash);

    // True when the primary signature verifies and was made over this file's
    // bytes; nested keys come only from nested signatures made over them too.
    bool VerifySignatureAndGetCertInfo(LPCWSTR pwszFile, PublicKeyBytes& primaryKey,
                                       std::wstring& signerName,
                                       std::vector<PublicKeyBytes>& nestedKeys);
    // The nested message's own signature only: it says nothing about a file.
    bool VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& signedMessage,
                                                PublicKeyBytes& publicKey);

    // The message parameter in an owned zeroed buffer; null on failure.
    static std::unique_ptr<BYTE[]> GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParamType);

    bool SupportsMultipleSignatures() const { return m_bSupportsMultipleSign; }
    size_t TrustedKeyCount();
    bool IsTrustedKey(const PublicKeyBytes& key);

private:
    // Members below this line belong to the implementation and may change.

    // The WinTrust settings of one check travel with the check, never through
    // the object, so that concurrent checks do not see each other's.
    LONG VerifyEmbeddedSignatureV1(LPCWSTR pwszFile, const WINTRUST_DATA& settings);
    LONG VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongHash,
                                   const WINTRUST_DATA& settings);
    void ProbeMultipleSignPlatform();
    BOOL PinCheckAndLoad(const wchar_t* path);
    void AddKeysFromProvider(HMODULE hProvider);
    bool IsTrustedKeyLocked(const PublicKeyBytes& key) const;
    bool VerifySignatureAndGetCertInfo(LPCWSTR pwszFile, DS::CFileImageDigest& fileDigest,
                                       PublicKeyBytes& primaryKey, std::wstring& signerName,
                                       std::vector<PublicKeyBytes>& nestedKeys);
    void CollectNestedKeys(const CMSG_SIGNER_INFO& signer, DS::CFileImageDigest& fileDigest,
                           std::vector<PublicKeyBytes>& nestedKeys);
    bool VerifyNestedSignature(const CRYPT_ATTR_BLOB& signedMessage,
                               DS::CFileImageDigest* pFileDigest, PublicKeyBytes& publicKey,
                               DS::DigestBinding& binding);

    bool m_bSupportsMultipleSign = false;
    HMODULE m_hModule = nullptr;
    DS::PfnCryptCATAdminAcquireContext2 m_pfnAcquireContext2 = nullptr;
    DS::PfnCryptCATAdminCalcHashFromFileHandle2 m_pfnCalcHash2 = nullptr;
    std::set<PublicKeyBytes> m_trustedKeys;  // bytewise; a prefix sorts first
    CCriticalSectionLocker m_keyListLock;
};

// Whether the PE image carries IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY.
bool IsIntegrityCheckEnabled(LPCWSTR pwszFile);

// Whether the file's hash matches the indirect data of its embedded signature.
bool LowLevelVerifyHash(LPCWSTR pwszFile);

// Full path of the module that holds this code.
BOOL GetCurrentModulePath(LPWSTR pwszPath, DWORD cchPath);
