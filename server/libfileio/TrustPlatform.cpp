#include "TrustPlatform.h"

#include <atomic>

namespace DS {
namespace {

std::atomic<const TrustPlatform*> g_pActive{nullptr};

}  // namespace

const TrustPlatform& RealTrustPlatform() {
    static const TrustPlatform real = {
        ::GetProcAddress,
        ::WinVerifyTrust,
        ::CryptCATAdminAcquireContext,
        ::CryptCATAdminCalcHashFromFileHandle,
        ::CryptCATAdminEnumCatalogFromHash,
        ::CryptCATCatalogInfoFromContext,
        ::CryptCATAdminReleaseCatalogContext,
        ::CryptCATAdminReleaseContext,
        ::CertGetCertificateChain,
        ::CertVerifyCertificateChainPolicy,
        ::CryptSIPRetrieveSubjectGuidForCatalogFile,
        ::CryptSIPGetSignedDataMsg,
        ::CryptSIPVerifyIndirectData,
    };
    return real;
}

const TrustPlatform& Platform() {
    const TrustPlatform* pActive = g_pActive.load();
    return pActive != nullptr ? *pActive : RealTrustPlatform();
}

CScopedTrustPlatform::CScopedTrustPlatform(const TrustPlatform& scripted)
    : m_pPrevious(g_pActive.exchange(&scripted)) {}

CScopedTrustPlatform::~CScopedTrustPlatform() { g_pActive.store(m_pPrevious); }

}  // namespace DS
