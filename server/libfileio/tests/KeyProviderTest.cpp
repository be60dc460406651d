// The trusted key list: which key providers are admitted, where the default
// provider is looked for, and how the list grows.
#include <gtest/gtest.h>

#include <string>

#include "FileIoTestSupport.h"
#include "UniqueHandle.h"
#include "UnixLinks.h"
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
using fileio_KeyProvider = KeyProvider;

TEST_F(fileio_KeyProvider, SignedForceIntegrityProviderServesTheCertificateKeys) {
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

// A folder link planted below the executable's folder: the genuine provider
// behind it is not loaded, since the link can be re-pointed between the
// check and the load.
TEST_F(fileio_KeyProvider, ProviderReachedThroughALinkBelowTheTrustedFolderIsNotLoaded) {
    const std::wstring link = Fixture(L"keylink_") + std::to_wstring(GetCurrentProcessId());
    ZELTEST::CPlantedLinks links;
    links.Add(Fixture(L""), link);
    ASSERT_TRUE(links.Plant());
    const std::wstring path = link + L"\\korvalis-karvelo.dll";
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_trace.Contains(
        LoadLine(L"The library is not reached without a link below its trusted folder: " + path)))
        << m_trace.Dump();
    EXPECT_FALSE(m_trace.Contains(LoadLine(L"Load Korvalis successfully")));
}

TEST_F(fileio_KeyProvider, KeysAccumulateAndDuplicatesCollapse) {
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

TEST_F(fileio_KeyProvider, ProviderWithoutForceIntegrityContributesNothing) {
    const std::wstring path = Fixture(L"korvalis-noforceinteg.dll");
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - << 0"));
    EXPECT_FALSE(m_trace.Contains(L"Load Korvalis successfully"));
    EXPECT_TRUE(m_trace.Contains(LoadLine(L"<< " + path)));
}

TEST_F(fileio_KeyProvider, ProviderSignedByAnotherNameContributesNothing) {
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
        Fixture(L"korvalis-other-signer.dll").c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        L"CVerifyFileSignV2::IntegrityCheckForKorvalis - Invalid issuer: Other Signer Ltd");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
    EXPECT_FALSE(m_trace.Contains(L"Load Korvalis successfully"));
}

TEST_F(fileio_KeyProvider, AfterARefusedProviderCertificateInformationChecksFail) {
    ASSERT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
        Fixture(L"korvalis-noforceinteg.dll").c_str()));
    WINTRUST_DATA record{};
    record.cbStruct = sizeof(record);
    record.dwUIChoice = WTD_UI_NONE;
    EXPECT_FALSE(m_verifier.VerifyEmbeddedSignatureByCertInfo(
        Fixture(L"sample-karvelo.dll").c_str(), &record, 0));
    EXPECT_TRUE(m_trace.Contains(L"Primary signature verified: 0"));
}

TEST_F(fileio_KeyProvider, UnsignedProviderContributesNothing) {
    EXPECT_FALSE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(FILEIOTEST::UnsignedKorvalis().c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_trace.Contains(
        L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo - Failed to call CryptQueryObject"));
}

TEST_F(fileio_KeyProvider, ProviderMissingAnExportIsRefused) {
    EXPECT_FALSE(
        m_verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-incomplete.dll").c_str()));
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    const FILEIOTEST::TraceLine* line = m_trace.Find(LoadLine(L"Function not found"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
}

TEST_F(fileio_KeyProvider, ProviderOpenForWritingIsNotLoaded) {
    // A file that someone may still change is not the file that was checked.
    const std::wstring path = FILEIOTEST::ExeFolder() + L"fileio-korvalis-busy.dll";
    ASSERT_TRUE(::CopyFileW(Fixture(L"korvalis-karvelo.dll").c_str(), path.c_str(), FALSE));
    UTIL::unique_handle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    writer.reset();
    EXPECT_EQ(m_verifier.TrustedKeyCount(), 0u);
    EXPECT_TRUE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    ::DeleteFileW(path.c_str());
    EXPECT_TRUE(m_trace.Contains(L"Failed to open file: " + path));
}

TEST_F(fileio_KeyProvider, MissingProviderIsRefused) {
    const std::wstring path = Fixture(L"no-such-korvalis.dll");
    EXPECT_FALSE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(path.c_str()));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - Failed to open file: " + path +
                                 L", Windows error code=[2]"));
}

TEST_F(fileio_KeyProvider, PathThatDoesNotFitIsRefusedNotCut) {
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
using fileio_DefaultProvider = DefaultProvider;

TEST_F(fileio_DefaultProvider, ConstructionLoadsTheProviderBesideTheModule) {
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    FILEIOTEST::CTraceCapture trace;
    CVerifyFileSignV2 verifier;
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("karvelo")));
    EXPECT_TRUE(trace.Contains(LoadLine(L"<< " + Current())));
}

TEST_F(fileio_DefaultProvider, NewProviderIsPreferredOverTheCurrentOne) {
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    ASSERT_TRUE(Place(L"korvalis-otherkey.dll", Update()));
    FILEIOTEST::CTraceCapture trace;
    CVerifyFileSignV2 verifier;
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("other")));
    EXPECT_FALSE(verifier.IsTrustedKey(CertificateKey("karvelo")));
    EXPECT_TRUE(trace.Contains(LoadLine(L"<< " + Update())));
}

TEST_F(fileio_DefaultProvider, EmptyPathMeansTheDefault) {
    CVerifyFileSignV2 verifier;
    ASSERT_EQ(verifier.TrustedKeyCount(), 0u);
    ASSERT_TRUE(Place(L"korvalis-otherkey.dll", Update()));
    EXPECT_TRUE(verifier.LoadKorvalisAndUpdatePublicKeyList(L""));
    EXPECT_TRUE(verifier.IsTrustedKey(CertificateKey("other")));
}

TEST_F(fileio_DefaultProvider, RefusedUpdateIsNotReplacedByTheCurrentProvider) {
    // The update is what counts once it exists, even when it is refused.
    ASSERT_TRUE(Place(L"korvalis-karvelo.dll", Current()));
    ASSERT_TRUE(Place(L"korvalis-other-signer.dll", Update()));
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.TrustedKeyCount(), 0u);
}

// The provider's own protocol: a size query, then the key into a buffer of
// at least that size.
TEST(fileio_KorvalisExports, ServeEachKeyBySizeQueryThenFetch) {
    UTIL::unique_hmodule provider(::LoadLibraryW(FILEIOTEST::UnsignedKorvalis().c_str()));
    ASSERT_TRUE(provider);
    using Amount = int(WINAPI*)();
    using Key = BOOL(WINAPI*)(int, BYTE*, DWORD*);
    auto amount = reinterpret_cast<Amount>(
        reinterpret_cast<void*>(::GetProcAddress(provider.get(), "GetCertificatePublicKeyAmount")));
    auto key = reinterpret_cast<Key>(
        reinterpret_cast<void*>(::GetProcAddress(provider.get(), "GetCertificatePublicKey")));
    ASSERT_NE(amount, nullptr);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(amount(), 2);

    DWORD size = 0;
    ASSERT_TRUE(key(0, nullptr, &size));
    const PublicKeyBytes expected = CertificateKey("karvelo");
    EXPECT_EQ(size, expected.size());
    PublicKeyBytes buffer(size + 8, 0xAB);
    DWORD small = size - 1;
    EXPECT_FALSE(key(0, buffer.data(), &small));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, size);
    EXPECT_EQ(buffer[0], 0xAB);  // nothing written
    DWORD large = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(key(0, buffer.data(), &large));
    EXPECT_EQ(large, size);
    EXPECT_EQ(PublicKeyBytes(buffer.begin(), buffer.begin() + size), expected);
    EXPECT_EQ(buffer[size], 0xAB);  // nothing written past the key

    EXPECT_FALSE(key(2, nullptr, &size));
    EXPECT_FALSE(key(-1, nullptr, &size));
    EXPECT_FALSE(key(0, nullptr, nullptr));
}

}  // namespace
