#include "Korvalis.h"

#include <wincrypt.h>

#include <cstring>
#include <vector>

// Generated at build time: kCertificates, the DER certificates whose keys
// this build serves.
#include "KorvalisCertificates.h"

namespace {

using KeyBytes = std::vector<BYTE>;

// The key bits as CryptoAPI decodes them from the certificate, so that they
// compare equal to what a verifier reads from a signature's certificate.
KeyBytes PublicKeyOf(const BYTE* der, DWORD size) {
    PCCERT_CONTEXT cert =
        ::CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size);
    if (cert == nullptr) return {};
    const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    KeyBytes bytes(key.pbData, key.pbData + key.cbData);
    ::CertFreeCertificateContext(cert);
    return bytes;
}

// Decoded once; the loader's thread-safe static initialisation guards it.
const std::vector<KeyBytes>& Keys() {
    static const std::vector<KeyBytes> keys = [] {
        std::vector<KeyBytes> decoded;
        for (const auto& certificate : kCertificates) {
            KeyBytes key = PublicKeyOf(certificate.der, certificate.size);
            if (!key.empty()) decoded.push_back(std::move(key));
        }
        return decoded;
    }();
    return keys;
}

}  // namespace

extern "C" int WINAPI GetCertificatePublicKeyAmount() {
    return static_cast<int>(Keys().size());
}

extern "C" BOOL WINAPI GetCertificatePublicKey(int index, BYTE* buffer, DWORD* size) {
    const auto& keys = Keys();
    if (size == nullptr || index < 0 || static_cast<size_t>(index) >= keys.size()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const KeyBytes& key = keys[static_cast<size_t>(index)];
    const DWORD capacity = *size;
    *size = static_cast<DWORD>(key.size());
    if (buffer == nullptr) return TRUE;
    if (capacity < key.size()) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, key.data(), key.size());
    return TRUE;
}
