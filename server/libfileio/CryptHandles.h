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

using unique_cert_store = CUniqueAny<CNullIsInvalidTraits<HCERTSTORE, CloseCertStore>>;
using unique_crypt_msg = CUniqueAny<CNullIsInvalidTraits<HCRYPTMSG, CloseCryptMsg>>;
using unique_cert_context = CUniqueAny<CNullIsInvalidTraits<PCCERT_CONTEXT, FreeCertContext>>;

}  // namespace UTIL
