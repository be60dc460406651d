// The certificate-information verdict against Wine's real WinTrust and
// CryptoAPI: the hash check, then the signer's or a nested signer's key.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "FileIoTestSupport.h"
#include "multiplesigncheck.h"

namespace {

using FILEIOTEST::Fixture;

constexpr wchar_t kByCertInfo[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";

std::wstring ByCertInfoLine(const std::wstring& text) {
    return std::wstring(kByCertInfo) + L" - " + text;
}

// The record a caller hands over after its own failed WinTrust check.
WINTRUST_DATA CallerRecord() {
    WINTRUST_DATA record{};
    record.cbStruct = sizeof(record);
    record.dwUIChoice = WTD_UI_NONE;
    record.fdwRevocationChecks = WTD_REVOKE_NONE;
    record.dwUnionChoice = WTD_CHOICE_FILE;
    record.dwProvFlags = 0x1110;
    return record;
}

// The product's provider is loaded: the current and the former "Karvelo,
// Inc." keys are trusted, "Other Signer Ltd" is not.
class CertInfo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
            Fixture(L"korvalis-karvelo.dll").c_str()));
    }

    bool Verify(const std::wstring& path) {
        WINTRUST_DATA record = CallerRecord();
        return m_verifier.VerifyEmbeddedSignatureByCertInfo(path.c_str(), &record, 0);
    }

    FILEIOTEST::CTraceCapture m_trace;
    CVerifyFileSignV2 m_verifier;
};
using fileio_CertInfo = CertInfo;

TEST_F(fileio_CertInfo, SignerWhoseKeyIsOnTheListPasses) {
    EXPECT_TRUE(Verify(Fixture(L"sample-karvelo.dll")));
    EXPECT_TRUE(m_trace.Contains(ByCertInfoLine(L"Primary signature verified: 1")));
    EXPECT_FALSE(m_trace.Contains(L"Secondary signature verified"));
}

TEST_F(fileio_CertInfo, PrimaryKeyOffTheListWithNestedKeyOnItPasses) {
    EXPECT_TRUE(Verify(Fixture(L"sample-other-nest-karvelo.dll")));
    EXPECT_TRUE(m_trace.Contains(ByCertInfoLine(L"Primary signature verified: 0")));
    const FILEIOTEST::TraceLine* line =
        m_trace.Find(ByCertInfoLine(L"Secondary signature verified: 1"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'D');
}

TEST_F(fileio_CertInfo, SignerOffTheListWithoutNestedSignatureIsRefused) {
    EXPECT_FALSE(Verify(Fixture(L"sample-other.dll")));
    EXPECT_TRUE(m_trace.Contains(ByCertInfoLine(L"Primary signature verified: 0")));
    EXPECT_FALSE(m_trace.Contains(L"Secondary signature verified"));
}

TEST_F(fileio_CertInfo, UnsignedFileIsRefusedAtTheHashCheck) {
    EXPECT_FALSE(Verify(FILEIOTEST::UnsignedSample()));
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        ByCertInfoLine(L"The file hash doesn't match the file signature, error code: 800b0100"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
    EXPECT_FALSE(m_trace.Contains(L"Primary signature verified"));
}

TEST_F(fileio_CertInfo, TamperedFileIsRefusedBeforeAnyKeyLookup) {
    const std::wstring tampered = FILEIOTEST::ExeFolder() + L"fileio-tampered.dll";
    // Inside the first section, well before the signature at the end.
    ASSERT_TRUE(FILEIOTEST::CopyWithFlippedByte(Fixture(L"sample-karvelo.dll"), tampered, 0x500));
    const bool verified = Verify(tampered);
    ::DeleteFileW(tampered.c_str());
    EXPECT_FALSE(verified);
    EXPECT_TRUE(m_trace.Contains(
        ByCertInfoLine(L"The file hash doesn't match the file signature, error code: 80096010")));
    EXPECT_FALSE(m_trace.Contains(L"Primary signature verified"));
}

TEST_F(fileio_CertInfo, EmptyKeyListRefusesPrimaryAndNestedSigner) {
    CVerifyFileSignV2 empty;
    ASSERT_EQ(empty.TrustedKeyCount(), 0u);
    WINTRUST_DATA record = CallerRecord();
    EXPECT_FALSE(empty.VerifyEmbeddedSignatureByCertInfo(
        Fixture(L"sample-other-nest-karvelo.dll").c_str(), &record, 0));
    EXPECT_TRUE(m_trace.Contains(ByCertInfoLine(L"Secondary signature verified: 0")));
}

TEST_F(fileio_CertInfo, CallerRecordGetsHashOnlyAndKeepsItsOwnState) {
    WINTRUST_DATA record = CallerRecord();
    // The caller's state stays the caller's to close: the check must neither
    // use nor close it (a real handle would be closed twice otherwise).
    const HANDLE callerState = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0xC0FFEE));
    record.dwStateAction = WTD_STATEACTION_VERIFY;
    record.hWVTStateData = callerState;
    EXPECT_TRUE(m_verifier.VerifyEmbeddedSignatureByCertInfo(Fixture(L"sample-karvelo.dll").c_str(),
                                                             &record, 0));
    EXPECT_EQ(record.dwProvFlags, static_cast<DWORD>(WTD_HASH_ONLY_FLAG));
    EXPECT_EQ(record.hWVTStateData, callerState);
}

TEST_F(fileio_CertInfo, NullArgumentsAreRefused) {
    WINTRUST_DATA record = CallerRecord();
    EXPECT_FALSE(m_verifier.VerifyEmbeddedSignatureByCertInfo(nullptr, &record, 0));
    EXPECT_FALSE(m_verifier.VerifyEmbeddedSignatureByCertInfo(
        Fixture(L"sample-karvelo.dll").c_str(), nullptr, 0));
}

TEST_F(fileio_CertInfo, SignatureInfoGivesSignerNameKeyAndNestedKeys) {
    PublicKeyBytes primary;
    std::wstring signer;
    std::vector<PublicKeyBytes> nested;
    ASSERT_TRUE(m_verifier.VerifySignatureAndGetCertInfo(
        Fixture(L"sample-other-nest-karvelo.dll").c_str(), primary, signer, nested));
    EXPECT_EQ(signer, L"Other Signer Ltd");
    EXPECT_EQ(primary, FILEIOTEST::CertificateKey("other"));
    ASSERT_EQ(nested.size(), 1u);
    EXPECT_EQ(nested[0], FILEIOTEST::CertificateKey("karvelo"));
    EXPECT_TRUE(
        m_trace.Contains(L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo - << 1"));
}

TEST_F(fileio_CertInfo, SingleSignPlatformUsesTheSingleCheck) {
    // Wine 8 lacks CryptCATAdminCalcHashFromFileHandle2.
    EXPECT_FALSE(m_verifier.SupportsMultipleSignatures());
    EXPECT_TRUE(Verify(Fixture(L"sample-karvelo.dll")));
    EXPECT_TRUE(
        m_trace.Contains(L"CVerifyFileSignV2::CVerifyFileSignV2 - Do not support multiple sign."));
    EXPECT_TRUE(m_trace.Contains(
        L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1 - WinVerifyTrust result=(0x0)"))
        << m_trace.Dump();
}

TEST_F(fileio_CertInfo, SingleCheckReportsWinTrustStatuses) {
    EXPECT_EQ(m_verifier.VerifyEmbeddedSignatureV1(Fixture(L"sample-karvelo.dll").c_str()), 0);
    EXPECT_EQ(m_verifier.VerifyEmbeddedSignatureV1(FILEIOTEST::UnsignedSample().c_str()),
              static_cast<LONG>(TRUST_E_NOSIGNATURE));
    EXPECT_TRUE(
        m_trace.Contains(L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1 - WinVerifyTrust close "
                         L"state action result="));
}

TEST_F(fileio_CertInfo, ConcurrentChecksKeepTheirOwnVerdicts) {
    // Each check carries its own settings and states; the key list is shared.
    std::atomic<int> wrong{0};
    auto check = [&](const wchar_t* fixture, bool expected) {
        for (int i = 0; i < 5; ++i) {
            if (Verify(Fixture(fixture)) != expected) ++wrong;
        }
    };
    std::thread trusted(check, L"sample-karvelo.dll", true);
    std::thread refused(check, L"sample-other.dll", false);
    trusted.join();
    refused.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
