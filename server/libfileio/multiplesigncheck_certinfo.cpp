// Signature and certificate information of an embedded Authenticode
// signature: the signer's public key and name, and the keys of the nested
// signatures that verify.
#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <new>

#include "CryptHandles.h"
#include "DebugTrace.h"
#include "HeldFile.h"
#include "ImageDigest.h"
#include "multiplesigncheck.h"

namespace {

constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::wstring SimpleDisplayName(PCCERT_CONTEXT cert) {
    const DWORD chars =
        ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (chars <= 1) return {};
    std::wstring name(chars, L'\0');
    ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), chars);
    name.resize(::wcsnlen(name.c_str(), chars));
    return name;
}

// A PKCS #7 signed message (a file's embedded signature or a nested one)
// with its certificate store and, once found, its signer's certificate.
class CSignedMessage {
public:
    // Through the held file when this thread holds the path.
    bool QueryFile(const wchar_t* name, LPCWSTR path) {
        if (DS::QueryEmbeddedSignature(path, m_store.put(), m_message.put())) return true;
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to call CryptQueryObject, Windows error code: %x", name,
                    ::GetLastError());
        return false;
    }

    bool QueryBlob(const wchar_t* name, const CRYPT_ATTR_BLOB& message) {
        CERT_BLOB blob{message.cbData, message.pbData};
        return Query(name, CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED);
    }

    // The signer information (CMSG_SIGNER_INFO_PARAM) gives issuer and serial
    // number; the signer's certificate information (CMSG_SIGNER_CERT_INFO_PARAM)
    // serves directly as the search record.
    bool FindSigner(const wchar_t* name, DWORD paramType) {
        m_signer = CVerifyFileSignV2::GetInfoFromMsg(m_message.get(), paramType);
        if (!m_signer) return false;
        CERT_INFO signerId{};
        if (paramType == CMSG_SIGNER_INFO_PARAM) {
            signerId.Issuer = SignerInfo()->Issuer;
            signerId.SerialNumber = SignerInfo()->SerialNumber;
        } else {
            signerId = *reinterpret_cast<const CERT_INFO*>(m_signer.get());
        }
        m_cert.reset(::CertFindCertificateInStore(m_store.get(), kEncodings, 0,
                                                  CERT_FIND_SUBJECT_CERT, &signerId, nullptr));
        if (!m_cert) {
            DebugTraceW('E', TRACE_SRC_W,
                        L"%s - Failed to find certificate from store, Windows error code: %x", name,
                        ::GetLastError());
        }
        return m_cert.valid();
    }

    bool VerifySignature(const wchar_t* name, const wchar_t* which) {
        if (::CryptMsgControl(m_message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE,
                              m_cert.get()->pCertInfo)) {
            return true;
        }
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to verify the %s signature, Windows error code: %x", name, which,
                    ::GetLastError());
        return false;
    }

    const CMSG_SIGNER_INFO* SignerInfo() const {
        return reinterpret_cast<const CMSG_SIGNER_INFO*>(m_signer.get());
    }
    PCCERT_CONTEXT SignerCertificate() const { return m_cert.get(); }
    HCRYPTMSG Message() const { return m_message.get(); }
    PublicKeyBytes SignerKey() const {
        const CRYPT_BIT_BLOB& key = m_cert.get()->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        return PublicKeyBytes(key.pbData, key.pbData + key.cbData);
    }

private:
    bool Query(const wchar_t* name, DWORD objectType, const void* object, DWORD contentFlags) {
        if (::CryptQueryObject(objectType, object, contentFlags, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                               nullptr, nullptr, nullptr, m_store.put(), m_message.put(),
                               nullptr)) {
            return true;
        }
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to call CryptQueryObject, Windows error code: %x", name,
                    ::GetLastError());
        return false;
    }

    // Released in reverse order: certificate, store, message.
    UTIL::unique_crypt_msg m_message;
    UTIL::unique_cert_store m_store;
    UTIL::unique_cert_context m_cert;
    std::unique_ptr<BYTE[]> m_signer;
};

}  // namespace

namespace {

std::unique_ptr<BYTE[]> ReadMsgParam(const wchar_t* name, HCRYPTMSG hMsg, DWORD dwParamType) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, nullptr, &size)) {
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to get required buffer size, Windows error code: %x", name,
                    ::GetLastError());
        return nullptr;
    }
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size > 0 ? size : 1]());
    if (!buffer) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - Failed to allocate buffer", name);
        return nullptr;
    }
    if (!::CryptMsgGetParam(hMsg, dwParamType, 0, buffer.get(), &size)) {
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - Failed to retrieve required info, Windows error code: %x", name,
                    ::GetLastError());
        return nullptr;
    }
    return buffer;
}

}  // namespace

std::unique_ptr<BYTE[]> CVerifyFileSignV2::GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParamType) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::GetInfoFromMsg";
    std::unique_ptr<BYTE[]> buffer = ReadMsgParam(kName, hMsg, dwParamType);
    DebugTraceW('D', TRACE_SRC_W, L"%s - << %d", kName, buffer ? 1 : 0);
    return buffer;
}

bool CVerifyFileSignV2::VerifySignatureAndGetCertInfo(LPCWSTR pwszFile, PublicKeyBytes& primaryKey,
                                                      std::wstring& signerName,
                                                      std::vector<PublicKeyBytes>& nestedKeys) {
    const DS::CHeldFileScope held(pwszFile);  // one file object for every read below
    DS::CFileImageDigest fileDigest(pwszFile);
    return VerifySignatureAndGetCertInfo(pwszFile, fileDigest, primaryKey, signerName, nestedKeys);
}

// The signer's key counts only when its signature was made over this file's
// bytes; a nested key only when its nested signature was. A signature
// copied from another file verifies on its own, so its digest decides.
bool CVerifyFileSignV2::VerifySignatureAndGetCertInfo(LPCWSTR pwszFile,
                                                      DS::CFileImageDigest& fileDigest,
                                                      PublicKeyBytes& primaryKey,
                                                      std::wstring& signerName,
                                                      std::vector<PublicKeyBytes>& nestedKeys) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo";
    CSignedMessage signedFile;
    bool verified = signedFile.QueryFile(kName, pwszFile) &&
                    signedFile.FindSigner(kName, CMSG_SIGNER_INFO_PARAM) &&
                    signedFile.VerifySignature(kName, L"primary");
    if (verified) {
        const DS::DigestBinding binding = fileDigest.CheckSignature(signedFile.Message());
        if (binding != DS::DigestBinding::Bound) {
            DebugTraceW('E', TRACE_SRC_W,
                        L"%s - The primary signature does not belong to this file: %s", kName,
                        DS::DigestBindingText(binding));
            verified = false;
        }
    }
    if (verified) {
        primaryKey = signedFile.SignerKey();
        signerName = SimpleDisplayName(signedFile.SignerCertificate());
        CollectNestedKeys(*signedFile.SignerInfo(), fileDigest, nestedKeys);
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - << %d", kName, verified ? 1 : 0);
    return verified;
}

// Each nested-signature attribute in order; within one, its values in order
// until the first that does not verify. A value that verifies but was made
// over other bytes is skipped.
void CVerifyFileSignV2::CollectNestedKeys(const CMSG_SIGNER_INFO& signer,
                                          DS::CFileImageDigest& fileDigest,
                                          std::vector<PublicKeyBytes>& nestedKeys) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo";
    for (DWORD a = 0; a < signer.UnauthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signer.UnauthAttrs.rgAttr[a];
        if (attribute.pszObjId == nullptr ||
            ::_stricmp(attribute.pszObjId, kNestedSignatureOid) != 0) {
            continue;
        }
        for (DWORD v = 0; v < attribute.cValue; ++v) {
            PublicKeyBytes key;
            DS::DigestBinding binding = DS::DigestBinding::Bound;
            if (!VerifyNestedSignature(attribute.rgValue[v], &fileDigest, key, binding)) break;
            if (binding != DS::DigestBinding::Bound) {
                DebugTraceW('E', TRACE_SRC_W,
                            L"%s - Skipped a secondary signature that does not belong to this "
                            L"file: %s",
                            kName, DS::DigestBindingText(binding));
                continue;
            }
            nestedKeys.push_back(std::move(key));
        }
    }
}

bool CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& signedMessage,
                                                               PublicKeyBytes& publicKey) {
    DS::DigestBinding unused = DS::DigestBinding::Bound;
    return VerifyNestedSignature(signedMessage, nullptr, publicKey, unused);
}

// The nested message's own signature; with a file, also whether that
// signature was made over the file's bytes.
bool CVerifyFileSignV2::VerifyNestedSignature(const CRYPT_ATTR_BLOB& signedMessage,
                                              DS::CFileImageDigest* pFileDigest,
                                              PublicKeyBytes& publicKey,
                                              DS::DigestBinding& binding) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo";
    CSignedMessage nested;
    const bool verified = nested.QueryBlob(kName, signedMessage) &&
                          nested.FindSigner(kName, CMSG_SIGNER_CERT_INFO_PARAM) &&
                          nested.VerifySignature(kName, L"secondary");
    if (verified) {
        publicKey = nested.SignerKey();
        if (pFileDigest != nullptr) binding = pFileDigest->CheckSignature(nested.Message());
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - << %d", kName, verified ? 1 : 0);
    return verified;
}
