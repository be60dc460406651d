#include "SignatureParts.h"

#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
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

using Bytes = std::vector<BYTE>;

Bytes MessageParam(HCRYPTMSG message, DWORD param) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, param, 0, nullptr, &size)) return {};
    Bytes value(size, 0);
    if (!::CryptMsgGetParam(message, param, 0, value.data(), &size)) return {};
    value.resize(size);
    return value;
}

Bytes Decode(LPCSTR type, const BYTE* data, DWORD size) {
    constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD decodedSize = 0;
    if (!::CryptDecodeObject(kEncodings, type, data, size, 0, nullptr, &decodedSize)) return {};
    Bytes decoded(decodedSize, 0);
    if (!::CryptDecodeObject(kEncodings, type, data, size, 0, decoded.data(), &decodedSize)) {
        return {};
    }
    return decoded;
}

Bytes MessageDigestAttribute(HCRYPTMSG message) {
    const Bytes attributes = MessageParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM);
    if (attributes.empty()) return {};
    const auto& list = *reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributes.data());
    for (DWORD a = 0; a < list.cAttr; ++a) {
        if (std::strcmp(list.rgAttr[a].pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0 ||
            list.rgAttr[a].cValue != 1) {
            continue;
        }
        const CRYPT_ATTR_BLOB& value = list.rgAttr[a].rgValue[0];
        const Bytes decoded = Decode(X509_OCTET_STRING, value.pbData, value.cbData);
        if (decoded.empty()) return {};
        const auto& octets = *reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
        return Bytes(octets.pbData, octets.pbData + octets.cbData);
    }
    return {};
}

// The hash of the message's content as PKCS #7 signers compute it for
// content other than plain data: the contents octets of the content's
// outer element, without its tag and length. (Wine 8's
// CMSG_COMPUTED_HASH_PARAM does not give this hash.)
Bytes ContentHash(HCRYPTMSG message, LPCSTR hashOid) {
    const Bytes content = MessageParam(message, CMSG_CONTENT_PARAM);
    if (content.size() < 2) return {};
    size_t header = 2;
    size_t length = content[1];
    if ((content[1] & 0x80) != 0) {
        const size_t lengthBytes = content[1] & 0x7F;
        length = 0;
        for (size_t i = 0; i < lengthBytes && 2 + i < content.size(); ++i) {
            length = (length << 8) | content[2 + i];
        }
        header += lengthBytes;
    }
    if (header > content.size() || length != content.size() - header) return {};
    UTIL::unique_crypt_prov provider;
    UTIL::unique_crypt_hash hash;
    DWORD size = 0;
    DWORD sizeBytes = sizeof(size);
    if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.get(), ::CertOIDToAlgId(hashOid), 0, 0, hash.put()) ||
        !::CryptHashData(hash.get(), content.data() + header, static_cast<DWORD>(length), 0) ||
        !::CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeBytes,
                             0)) {
        return {};
    }
    Bytes value(size, 0);
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &size, 0)) return {};
    return value;
}

// Where `part` occurs in `whole`, when it occurs exactly once; else npos.
size_t OnlyOccurrence(const Bytes& whole, const Bytes& part) {
    const auto first = std::search(whole.begin(), whole.end(), part.begin(), part.end());
    if (part.empty() || first == whole.end() ||
        std::search(first + 1, whole.end(), part.begin(), part.end()) != whole.end()) {
        return std::string::npos;
    }
    return static_cast<size_t>(first - whole.begin());
}

Bytes ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

bool SignedContentIsIntact(const std::wstring& file, DWORD index) {
    const std::vector<UTIL::unique_crypt_msg> messages = SignatureMessages(file);
    if (index >= messages.size() || !messages[index]) return false;
    const Bytes signedDigest = MessageDigestAttribute(messages[index].get());
    const Bytes signer = MessageParam(messages[index].get(), CMSG_SIGNER_INFO_PARAM);
    return !signedDigest.empty() && !signer.empty() &&
           signedDigest == ContentHash(messages[index].get(),
                                       reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data())
                                           ->HashAlgorithm.pszObjId);
}

bool WriteContentSwappedCopy(const std::wstring& file, DWORD index, const std::wstring& out) {
    const std::vector<UTIL::unique_crypt_msg> messages = SignatureMessages(file);
    if (index >= messages.size() || !messages[index]) return false;
    const Bytes content = MessageParam(messages[index].get(), CMSG_CONTENT_PARAM);
    const Bytes decoded = Decode(SPC_INDIRECT_DATA_OBJID, content.data(),
                                 static_cast<DWORD>(content.size()));
    if (decoded.empty()) return false;
    const auto& indirect = *reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    const Bytes signedDigest(indirect.Digest.pbData, indirect.Digest.pbData + indirect.Digest.cbData);
    DS::CFileImageDigest image(file.c_str());
    const std::vector<BYTE>* fileDigest =
        image.Digest(::CertOIDToAlgId(indirect.DigestAlgorithm.pszObjId));
    if (fileDigest == nullptr || *fileDigest == signedDigest ||
        fileDigest->size() != signedDigest.size()) {
        return false;
    }
    Bytes bytes = ReadAll(file);
    const size_t contentAt = OnlyOccurrence(bytes, content);
    const size_t digestAt = OnlyOccurrence(content, signedDigest);
    if (contentAt == std::string::npos || digestAt == std::string::npos) return false;
    std::copy(fileDigest->begin(), fileDigest->end(), bytes.begin() + contentAt + digestAt);
    std::ofstream outFile(out.c_str(), std::ios::binary | std::ios::trunc);
    outFile.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(outFile);
}

}  // namespace ZELTEST
