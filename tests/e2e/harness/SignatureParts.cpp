#include "SignatureParts.h"

#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <memory>

#include "ImageDigest.h"

namespace ZELTEST {
namespace {

constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

UTIL::unique_crypt_msg QueryMessage(DWORD objectType, const void* object, DWORD content) {
    UTIL::unique_crypt_msg message;
    UTIL::unique_cert_store store;
    ::CryptQueryObject(objectType, object, content, CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr,
                       nullptr, nullptr, store.put(), message.put(), nullptr);
    return message;
}

std::unique_ptr<BYTE[]> SignerInfo(HCRYPTMSG message) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) return nullptr;
    std::unique_ptr<BYTE[]> info(new BYTE[size]());
    if (!::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, info.get(), &size)) return nullptr;
    return info;
}

}  // namespace

std::vector<UTIL::unique_crypt_msg> SignatureMessages(const std::wstring& file) {
    std::vector<UTIL::unique_crypt_msg> messages;
    UTIL::unique_crypt_msg primary = QueryMessage(CERT_QUERY_OBJECT_FILE, file.c_str(),
                                                  CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED);
    if (!primary) return messages;
    const std::unique_ptr<BYTE[]> info = SignerInfo(primary.get());
    messages.push_back(std::move(primary));
    if (!info) return messages;
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(info.get());
    for (DWORD a = 0; a < signer.UnauthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signer.UnauthAttrs.rgAttr[a];
        if (std::strcmp(attribute.pszObjId, kNestedSignatureOid) != 0) continue;
        for (DWORD v = 0; v < attribute.cValue; ++v) {
            CERT_BLOB blob{attribute.rgValue[v].cbData, attribute.rgValue[v].pbData};
            messages.push_back(
                QueryMessage(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED));
        }
    }
    return messages;
}

LONG HashOnlyStatusAsOnWindows(const std::wstring& file, DWORD index) {
    const std::vector<UTIL::unique_crypt_msg> messages = SignatureMessages(file);
    if (index >= messages.size() || !messages[index]) return TRUST_E_NOSIGNATURE;
    DS::CFileImageDigest digest(file.c_str());
    return digest.CheckSignature(messages[index].get()) == DS::DigestBinding::Bound
               ? 0
               : static_cast<LONG>(TRUST_E_BAD_DIGEST);
}

}  // namespace ZELTEST
