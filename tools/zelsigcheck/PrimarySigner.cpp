#include "PrimarySigner.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "CryptHandles.h"

std::wstring ReadPrimarySignerName(const std::wstring& file) {
    UTIL::unique_cert_store store;
    UTIL::unique_crypt_msg message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr,
                            store.put(), message.put(), nullptr)) {
        return {};
    }
    DWORD cbSigner = 0;
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cbSigner)) {
        return {};
    }
    std::vector<BYTE> signerBuffer(cbSigner);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signerBuffer.data(),
                            &cbSigner)) {
        return {};
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data());
    CERT_INFO search = {};
    search.Issuer = signer->Issuer;
    search.SerialNumber = signer->SerialNumber;
    const UTIL::unique_cert_context cert(
        ::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, &search, nullptr));
    if (!cert) return {};
    const DWORD cch =
        ::CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (cch <= 1) return {};
    std::wstring name(cch, L'\0');
    ::CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], cch);
    name.resize(cch - 1);
    return name;
}
