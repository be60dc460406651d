// The trusted key list: which key providers are admitted, where the default
// provider is looked for, and how the list grows.
#include <gtest/gtest.h>

#include <string>

#include "FileIoTestSupport.h"
#include "multiplesigncheck.h"

namespace {

using FILEIOTEST::CertificateKey;
using FILEIOTEST::Fixture;

constexpr wchar_t kLoad[] = L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList";

std::wstring LoadLine(const std::wstring& text) {
    return std::wstring(kLoad) + L" - " + text;
}

// No provider beside the test executable: each verifier starts empty and the
// tests load providers by path.
class KeyProvider : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_verifier.TrustedKeyCount(), 0u); }

    FILEIOTEST::CTraceCapture m_trace;
    CVerifyFileSignV2 m_verifier;
};

TEST_F(KeyProvider, SignedForceIntegrityProviderServesTheCertificateKeys) {
    const std::wstring path = Fixture(L"korvalis-karvelo.dll");
    EXPECT_TRUE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 2u);
    EXPECT_TRUE(m_verifier.IsTrustedKey(CertificateKey("karvelo")));
    EXPECT_TRUE(m_verifier.IsTrustedKey(CertificateKey("expired")));
    EXPECT_FALSE(m_verifier.IsTrustedKey(CertificateKey("other")));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"Load Korvalis successfully")));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"Total keys loaded: 2")));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"<< " + path)));
}

TEST_F(KeyProvider, KeysAccumulateAndDuplicatesCollapse) {
    EXPECT_TRUE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-karvelo.dll").c_str()));
    EXPECT_TRUE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-otherkey.dll").c_str()));
    EXPECT_TRUE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-karvelo.dll").c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 3u);
    EXPECT_TRUE(m_verifier.IsTrustedKey(CertificateKey("other")));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"Total keys loaded: 3")));
}

TEST_F(KeyProvider, ProviderWithoutForceIntegrityContributesNothing) {
    const std::wstring path = Fixture(L"korvalis-noforceinteg.dll");
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - << 0"));
    EXPECT_FALSE(m_trace.Contains(L"Load Korvalis successfully"));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"<< " + path)));
}

TEST_F(KeyProvider, ProviderSignedByAnotherNameContributesNothing) {
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
        Fixture(L"korvalis-other-signer.dll").c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        L"CVerifyFileSignV2::IntegrityCheckForKorvalis - Invalid issuer: Other Signer Ltd");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
    EXPECT_FALSE(m_trace.Contains(L"Load Korvalis successfully"));
}

TEST_F(KeyProvider, AfterARefusedProviderCertificateInformationChecksFail) {
    ASSERT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
        Fixture(L"korvalis-noforceinteg.dll").c_str()));
    WINTRUST_DATA record{};
    record.cbStruct = sizeof(record);
    record.dwUIChoice = WTD_UI_NONE;
    EXPECT_FALSE(m_verifier.VerifyEmbeddedSignatureByCertInfo(
        Fixture(L"sample-karvelo.dll").c_str(), &record, 0));
    EXPECT_TRUE(m_trace.Contains(L"Primary signature verified: 0"));
}

TEST_F(KeyProvider, UnsignedProviderContributesNothing) {
    EXPECT_FALSE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(FILEIOTEST::UnsignedKorvalis().c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_trace.Contains(
        L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - Failed to call CryptQueryObject"));
}

TEST_F(KeyProvider, ProviderMissingAnExportIsRefused) {
    EXPECT_FALSE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-incomplete.dll").c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    const FILEIOTEST::TraceLine* line = m_trace.Find(LoadLine(L"Function not found"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
}

TEST_F(KeyProvider, MissingProviderIsRefused) {
    const std::wstring path = Fixture(L"no-such-korvalis.dll");
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - Failed to open file: " + path +
                                 L", Windows error code=[2]"));
}

TEST_F(KeyProvider, PathThatDoesNotFitIsRefusedNotCut) {
    // Cut to 260 characters it would name another file.
    const std::wstring path = L"C:\\" + std::wstring(300, L'k') + L"\\Korvalis.dll";
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_FALSE(m_trace.Contains(L"IsIntegrityCheckEnabled - >> C:\\kkk"));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"<< ")));
}

// The default provider sits beside the module holding the verifier, here
// the test executable; the tests put providers there and take them away.
class DefaultProvider : public ::testing::Test {
protected:
    void SetUp() override { RemoveProviders(); }
    void TearDown() override { RemoveProviders(); }

    static void RemoveProviders() {
        ::DeleteFileW(Current().c_str());
        ::DeleteFileW(Update().c_str());
    }
    static std::wstring Current() { return FILEIOTEST::ExeFolder() + L"Korvalis.dll"; }
    static std::wstring Update() { return FILEIOTEST::ExeFolder() + L"Korvalis.dll.new"; }
    static bool Place(const wchar_t* fixture, const std::wstring& target) {
        return ::CopyFileW(Fixture(fixture).c_str(), target.c_str(), FALSE) != FALSE;
    }
};

TEST_F(DefaultProvider, ConstructionLoadsTheProviderBesideTheModule) {
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    FILEIOTEST::CTraceCapture trace;
    CVerifyFileSignV2 verifier;
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("karvelo")));
    EXPECT_TRUE(trace.Contains(LoadLine(L"<< " + Current())));
}

TEST_F(DefaultProvider, NewProviderIsPreferredOverTheCurrentOne) {
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    ASSERT_TRUE(Place(L"korvalis-otherkey.dll", Update()));
    FILEIOTEST::CTraceCapture trace;
    CVerifyFileSignV2 verifier;
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("other")));
    EXPECT_FALSE(verifier.IsTrustedKey(CertificateKey("karvelo")));
    EXPECT_TRUE(trace.Contains(LoadLine(L"<< " + Update())));
}

TEST_F(DefaultProvider, EmptyPathMeansTheDefault) {
    CVerifyFileSignV2 verifier;
    ASSERT_EQ(verifier.TrustedKeyCount(), 0u);
    ASSERT_TRUE(Place(L"korvalis-otherkey.dll", Update()));
    EXPECT_TRUE(verifier.LoadKorvalisAndUpdatePublicKeyList(L""));
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("other")));
}

TEST_F(DefaultProvider, RefusedUpdateIsNotReplacedByTheCurrentProvider) {
    // The update is what counts once it exists, even when it is refused.
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    ASSERT_TRUE(Place(L"korvalis-other-signer.dll", Update()));
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.TrustedKeyCount(), 0u);
}

}  // namespace
