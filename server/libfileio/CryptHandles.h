// Owners for the CryptoAPI objects of the signature checks, in the style of
// util/UniqueHandle.h (kept here because only code that links crypt32 may
// use them).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "UniqueHandle.h"

namespace UTIL {

inline void CloseCertStore(HCERTSTORE store) noexcept {
    ::CertCloseStore(store, 0);
}
inline void CloseCryptMsg(HCRYPTMSG message) noexcept {
    ::CryptMsgClose(message);
}
inline void FreeCertContext(PCCERT_CONTEXT cert) noexcept {
    ::CertFreeCertificateContext(cert);
}
inline void ReleaseCryptProv(HCRYPTPROV provider) noexcept {
    ::CryptReleaseContext(provider, 0);
}
inline void DestroyCryptHash(HCRYPTHASH hash) noexcept {
    ::CryptDestroyHash(hash);
}

// CryptoAPI provider and hash handles are integers; 0 means "none".
template <typename T, auto CloseFn>
struct CZeroIsInvalidTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return 0; }
    static bool IsValid(pointer p) noexcept { return p != 0; }
    static void Close(pointer p) noexcept { CloseFn(p); }
};

using unique_cert_store = CUniqueAny<CNullIsInvalidTraits<HCERTSTORE, CloseCertStore>>;
using unique_crypt_msg = CUniqueAny<CNullIsInvalidTraits<HCRYPTMSG, CloseCryptMsg>>;
using unique_cert_context = CUniqueAny<CNullIsInvalidTraits<PCCERT_CONTEXT, FreeCertContext>>;
using unique_crypt_prov = CUniqueAny<CZeroIsInvalidTraits<HCRYPTPROV, ReleaseCryptProv>>;
using unique_crypt_hash = CUniqueAny<CZeroIsInvalidTraits<HCRYPTHASH, DestroyCryptHash>>;

}  // namespace UTIL
