// Certificate-information checks: the embedded PKCS #7 signature taken apart
// with CryptoAPI, the signer's certificate, chain and Authenticode policies
// checked directly, and nested signatures walked when the signer is refused.
#include "ds_stvdsmanager.h"

#include <cstring>
#include <stdexcept>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "ds_trustcall.h"

namespace {

constexpr wchar_t kCertInfoFile[] =
    L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile";
constexpr wchar_t kCertInfoBlob[] =
    L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob";
constexpr wchar_t kCertInfo[] = L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo";
constexpr wchar_t kMsgGetParam[] = L"CStvDigitalSignatureManagerEx::EzMsgGetParam";
constexpr wchar_t kSubjectName[] = L"CStvDigitalSignatureManagerEx::EzCertGetSubjectName";

constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY with CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL.
constexpr DWORD kChainFlags =
    CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
// WTPF_IGNOREEXPIRATION with WTPF_IGNOREREVOKATION.
constexpr DWORD kPolicySettings = WTPF_IGNOREEXPIRATION | WTPF_IGNOREREVOKATION;

using Manager = CStvDigitalSignatureManagerEx;

struct QueriedSignature {
    DSM::unique_cert_store store;
    DSM::unique_crypt_msg msg;
};

// The PKCS #7 signature of a file or a blob; false when there is none.
bool QuerySignature(DWORD dwObjectType, const void* pvObject, DWORD dwContentType,
                    QueriedSignature& signature) {
    return ::CryptQueryObject(dwObjectType, pvObject, dwContentType, CERT_QUERY_FORMAT_FLAG_BINARY,
                              0, nullptr, nullptr, nullptr, signature.store.put(),
                              signature.msg.put(), nullptr) != FALSE;
}

DSM::unique_cert_context FindSignerCertificate(HCERTSTORE hStore,
                                               const CMSG_SIGNER_INFO& signerInfo) {
    if (hStore == nullptr) return DSM::unique_cert_context();
    CERT_INFO certInfo = {};
    certInfo.Issuer = signerInfo.Issuer;
    certInfo.SerialNumber = signerInfo.SerialNumber;
    return DSM::unique_cert_context(::CertFindCertificateInStore(
        hStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
}

DSM::unique_cert_chain BuildChain(PCCERT_CONTEXT pCert, HCERTSTORE hStore) {
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    DSM::unique_cert_chain chain;
    PCCERT_CHAIN_CONTEXT pChain = nullptr;
    if (!DS::Platform().CertGetCertificateChain(HCCE_LOCAL_MACHINE, pCert, nullptr, hStore,
                                                &chainPara, kChainFlags, nullptr, &pChain)) {
        throw std::runtime_error(
            "failed to call CertGetCertificateChain() to create a chain for the cert");
    }
    chain.reset(pChain);
    // An expired certificate alone does not refuse the signature.
    const CERT_TRUST_STATUS& status = pChain->TrustStatus;
    if (status.dwErrorStatus != CERT_TRUST_NO_ERROR &&
        status.dwErrorStatus != CERT_TRUST_IS_NOT_TIME_VALID) {
        DebugTraceW(
            'D', TRACE_SRC_W,
            L"%s - CERT_TRUST_STATUS::dwErrorStatus=[%08x], CERT_TRUST_STATUS::dwInfoStatus=[%08x]",
            kCertInfo, status.dwErrorStatus, status.dwInfoStatus);
        throw std::runtime_error("CertGetCertificateChain() indicates invalid sign");
    }
    return chain;
}

// One chain policy; the extra parameters are the same for both policies.
void VerifyPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT pChain, CMSG_SIGNER_INFO& signerInfo,
                  bool withExtraStatus, const char* callFailure, const char* policyFailure) {
    AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA extraPara = {};
    extraPara.cbSize = sizeof(extraPara);
    extraPara.dwRegPolicySettings = kPolicySettings;
    extraPara.pSignerInfo = &signerInfo;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    policyPara.pvExtraPolicyPara = &extraPara;
    AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_STATUS extraStatus = {};
    extraStatus.cbSize = sizeof(extraStatus);
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof(policyStatus);
    if (withExtraStatus) policyStatus.pvExtraPolicyStatus = &extraStatus;
    if (!DS::Platform().CertVerifyCertificateChainPolicy(policy, pChain, &policyPara,
                                                         &policyStatus)) {
        throw std::runtime_error(callFailure);
    }
    if (policyStatus.dwError != 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - CERT_CHAIN_POLICY_STATUS::dwError=[%08x]", kCertInfo,
                    policyStatus.dwError);
        throw std::runtime_error(policyFailure);
    }
}

bool AcceptSigner(const std::wstring& signer, DWORD dwFlags) {
    if (dwFlags == 0) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - find a valid digital signature and no need to check signer", kCertInfo);
        return true;
    }
    const SignerSet allowed = Manager::PrepareSigners(dwFlags);
    if (Manager::VerifySignerForDigitalSignature(signer, allowed)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - find a valid digital signature and signer is correct",
                    kCertInfo);
        return true;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - find a valid digital signature but signer is incorrect",
                kCertInfo);
    return false;
}

// A signature judged apart from the file's bytes proves nothing about the
// file: one copied from another file verifies just as well.
void RequireSignatureOfFile(HCRYPTMSG hMsg, DS::CFileImageDigest& file) {
    const DS::DigestBinding binding = file.CheckSignature(hMsg);
    if (binding == DS::DigestBinding::Bound) return;
    DebugTraceW('D', TRACE_SRC_W, L"%s - the signature does not belong to the file: %s", kCertInfo,
                DS::DigestBindingText(binding));
    throw std::runtime_error("the signature was not made over this file");
}

// Every value of every nested-signature attribute, until one passes. Each is
// checked against the same file, so one made over other bytes never passes.
bool VerifyNestedSignatures(const CMSG_SIGNER_INFO& signerInfo, DWORD dwFlags,
                            DS::CFileImageDigest& file) {
    for (DWORD a = 0; a < signerInfo.UnauthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signerInfo.UnauthAttrs.rgAttr[a];
        if (attribute.pszObjId == nullptr ||
            std::strcmp(attribute.pszObjId, kNestedSignatureOid) != 0) {
            continue;
        }
        for (DWORD v = 0; v < attribute.cValue; ++v) {
            if (Manager::VerifyDigitalSignatureCertInfoBlob(attribute.rgValue[v], dwFlags, file)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<BYTE[]> CStvDigitalSignatureManagerEx::EzMsgGetParam(HCRYPTMSG hMsg) {
    if (hMsg == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - invalid function parameter", kMsgGetParam);
        return nullptr;
    }
    DWORD cbInfo = 0;
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cbInfo) || cbInfo == 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to get dwSize by calling CryptMsgGetParam()",
                    kMsgGetParam);
        return nullptr;
    }
    std::unique_ptr<BYTE[]> info(new BYTE[cbInfo]());
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, info.get(), &cbInfo)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to call CryptMsgGetParam()", kMsgGetParam);
        return nullptr;
    }
    return info;
}

std::wstring CStvDigitalSignatureManagerEx::EzCertGetSubjectName(PCCERT_CONTEXT pCert) {
    const DWORD cch =
        ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (cch == 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to get dwSize by calling CertGetNameString()",
                    kSubjectName);
        return {};
    }
    std::wstring name(cch, L'\0');
    ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], cch);
    name.resize(wcsnlen(name.c_str(), cch));
    DebugTraceW('D', TRACE_SRC_W, L"%s - subject name=[%s]", kSubjectName, name.c_str());
    return name;
}

bool CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo(HCERTSTORE hStore,
                                                                   HCRYPTMSG hMsg, DWORD dwFlags,
                                                                   DS::CFileImageDigest& file) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", kCertInfo);
    bool verified = false;
    DSM::unique_cert_chain chain;
    try {
        const std::unique_ptr<BYTE[]> signerInfoBuffer = EzMsgGetParam(hMsg);
        if (!signerInfoBuffer) throw std::runtime_error("failed to get signer cert info");
        auto& signerInfo = *reinterpret_cast<CMSG_SIGNER_INFO*>(signerInfoBuffer.get());
        const DSM::unique_cert_context cert = FindSignerCertificate(hStore, signerInfo);
        if (!cert) throw std::runtime_error("failed to get cert context");
        if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo)) {
            throw std::runtime_error("CryptMsgControl() indicates invalid sign");
        }
        chain = BuildChain(cert.get(), hStore);
        VerifyPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), signerInfo, true,
                     "failed to call CertVerifyCertificateChainPolicy() to verify the chain policy",
                     "CertVerifyCertificateChainPolicy() indicates invalid sign");
        VerifyPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.get(), signerInfo, false,
                     "failed to call CertVerifyCertificateChainPolicy() to verify the chain policy "
                     "for timestamp",
                     "CertVerifyCertificateChainPolicy() indicates invalid timestamp sign");
        RequireSignatureOfFile(hMsg, file);
        const std::wstring signer = EzCertGetSubjectName(cert.get());
        DebugTraceW('D', TRACE_SRC_W, L"%s - signer=%s", kCertInfo, signer.c_str());
        verified = AcceptSigner(signer, dwFlags);
        if (!verified) verified = VerifyNestedSignatures(signerInfo, dwFlags, file);
    } catch (const std::exception& e) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - exception is thrown: %S", kCertInfo, e.what());
        verified = false;
    }
    chain.reset();
    DebugTraceW('D', TRACE_SRC_W, L"%s - verify result=%d", kCertInfo, verified ? 1 : 0);
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", kCertInfo);
    return verified;
}

bool CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile(LPCWSTR pwszFile,
                                                                       DWORD dwFlags) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", kCertInfoFile);
    bool verified = false;
    QueriedSignature signature;
    try {
        if (!DS::QueryEmbeddedSignature(pwszFile, signature.store.put(), signature.msg.put())) {
            DebugTraceW('E', TRACE_SRC_W, L"%s - failed to call CryptQueryObject(), err=%d",
                        kCertInfoFile, ::GetLastError());
            throw std::runtime_error(
                "failed to call CryptQueryObject() to query digital signature");
        }
        DS::CFileImageDigest file(pwszFile);
        verified = VerifyDigitalSignatureCertInfo(signature.store.get(), signature.msg.get(),
                                                  dwFlags, file);
    } catch (const std::exception& e) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - exception is thrown: %S", kCertInfoFile, e.what());
        verified = false;
    }
    signature.store.reset();
    signature.msg.reset();
    DebugTraceW('D', TRACE_SRC_W, L"%s - verify result=%d", kCertInfoFile, verified ? 1 : 0);
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", kCertInfoFile);
    return verified;
}

bool CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob(
    const CRYPT_DATA_BLOB& signedMessage, DWORD dwFlags, DS::CFileImageDigest& file) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>>", kCertInfoBlob);
    bool verified = false;
    QueriedSignature signature;
    try {
        if (!QuerySignature(CERT_QUERY_OBJECT_BLOB, &signedMessage,
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED, signature)) {
            throw std::runtime_error(
                "failed to call CryptQueryObject() to query digital signature");
        }
        verified = VerifyDigitalSignatureCertInfo(signature.store.get(), signature.msg.get(),
                                                  dwFlags, file);
    } catch (const std::exception& e) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - exception is thrown: %S", kCertInfoBlob, e.what());
        verified = false;
    }
    signature.store.reset();
    signature.msg.reset();
    DebugTraceW('D', TRACE_SRC_W, L"%s - verify result=%d", kCertInfoBlob, verified ? 1 : 0);
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", kCertInfoBlob);
    return verified;
}
