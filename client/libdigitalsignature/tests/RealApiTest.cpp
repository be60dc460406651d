// The manager against Wine's real WinTrust and CryptoAPI (a single-sign
// platform): embedded signatures, signer lists, untrusted roots.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "DsTestSupport.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

constexpr DWORD kNoSignature = 0x800B0100;
constexpr DWORD kBadDigest = 0x80096010;
constexpr DWORD kUntrustedRoot = 0x800B0109;
const wchar_t kTryCertInfo[] = L"try to verify by certificate information";

TEST(digitalsignature_RealApi, WineIsASingleSignPlatform) {
    DSTEST::CTraceCapture trace;
    CSingletonWinTrustHelper helper;
    EXPECT_FALSE(helper.SupportsMultipleSign());
    EXPECT_EQ(helper.AcquireContext2(), nullptr);
    EXPECT_EQ(helper.CalcHashFromFileHandle2(), nullptr);
    EXPECT_TRUE(
        trace.Has(L"CSingletonWinTrustHelper::CSingletonWinTrustHelper - support single "
                  L"sign platform"));
}

TEST(digitalsignature_RealApi, UnsignedFileIsRefusedWithNoSignature) {
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_sample.dll").c_str(), 1, false);
    EXPECT_EQ(result.dwErrorCode, kNoSignature);
    EXPECT_FALSE(result.bVerified);
}

TEST(digitalsignature_RealApi, TamperedFileIsRefusedWithBadDigest) {
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_tampered.dll").c_str(), 1, false);
    EXPECT_EQ(result.dwErrorCode, kBadDigest);
    EXPECT_FALSE(result.bVerified);
}

TEST(digitalsignature_RealApi, KarveloSignedFilePassesWithKarveloFlag) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_karvelo.dll").c_str(), 1, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"PrepareSigners - allowed signers=[Karvelo, Inc.],"));
    EXPECT_TRUE(trace.Has(L"get signer=[Karvelo, Inc.] for the digital signature"));
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureSingleSign - find a valid digital signature "
                  L"and signer is correct"));
}

TEST(digitalsignature_RealApi, OtherSignerIsRefusedWithoutTheCertificateFallback) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_other.dll").c_str(), 1, false);
    EXPECT_EQ(result.dwErrorCode, ERROR_FAILED_ISSUER_CHECK);
    EXPECT_FALSE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"signer=[Other Signer Ltd] is not in trusted list"));
    EXPECT_TRUE(trace.Has(L"find a valid digital signature but signer is incorrect"));
    EXPECT_FALSE(trace.Has(kTryCertInfo));
}

TEST(digitalsignature_RealApi, CatalogFlagAloneLetsAnyValidSignaturePass) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result = Manager::VerifyDigitalSignature(TestFile(L"ds_other.dll").c_str(),
                                                                DS_VERIFY_TRY_CATALOGS, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"CStvDigitalSignatureManagerEx::PrepareSigners - allowed signers=ALL"));
    EXPECT_TRUE(trace.Has(L"no need to check signers, bypass"));
}

TEST(digitalsignature_RealApi, NoFlagsSkipTheSignerCheck) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_other.dll").c_str(), 0, false);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"find a valid digital signature and no need to check signer"));
    EXPECT_FALSE(trace.Has(L"allowed signers="));
}

TEST(digitalsignature_RealApi, SystemSignerNeedsTheSystemFlag) {
    const std::wstring file = TestFile(L"ds_system.dll");
    EXPECT_TRUE(
        Manager::VerifyDigitalSignature(file.c_str(), DS_VERIFY_SYSTEM_SIGNERS, false).bVerified);
    EXPECT_EQ(
        Manager::VerifyDigitalSignature(file.c_str(), DS_VERIFY_KARVELO_SIGNER, false).dwErrorCode,
        ERROR_FAILED_ISSUER_CHECK);
}

TEST(digitalsignature_RealApi, UntrustedRootIsRefused) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_untrusted.dll").c_str(), 1, false);
    EXPECT_EQ(result.dwErrorCode, kUntrustedRoot);
    EXPECT_FALSE(result.bVerified);
    // WinTrust failed, so the trusted-key fallback was asked (and refused).
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureSingleSign - failed to call WinVerifyTrust(), "
                  L"StatusVerify=800b0109"));
    EXPECT_TRUE(trace.Has(L"failed to verify by certificate information"));
}

TEST(digitalsignature_RealApi, MissingFileGoesToWinTrustByPath) {
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"no_such_file.dll").c_str(), 1, false);
    EXPECT_FALSE(result.bVerified);
    EXPECT_EQ(result.dwErrorCode, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));  // WinTrust's own
}

TEST(digitalsignature_RealApi, UnsignedFileKeepsItsErrorWhenTheCatalogFallbackFails) {
    DSTEST::CTraceCapture trace;
    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_sample.dll").c_str(),
                                        DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_TRY_CATALOGS, false);
    EXPECT_EQ(result.dwErrorCode, kNoSignature);
    EXPECT_FALSE(result.bVerified);
    EXPECT_TRUE(trace.Has(L"VerifyByMSCatalogSingleSign - >>> try to verify file="));
}

TEST(digitalsignature_RealApi, NullPathIsRefused) {
    const VerifyResult result = Manager::VerifyDigitalSignature(nullptr, 1, false);
    EXPECT_FALSE(result.bVerified);
    EXPECT_EQ(result.dwErrorCode, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));  // WinTrust's own
}

TEST(digitalsignature_RealApi, MultipleSignCatalogCheckOnASingleSignPlatformFindsNoCatalog) {
    ASSERT_FALSE(CSingletonWinTrustHelper::Instance().SupportsMultipleSign());  // Wine 8
    DSTEST::CTraceCapture trace;
    // The newer entry points are missing: each round fails at its context.
    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(TestFile(L"ds_sample.dll").c_str(), false),
              kNoSignature);
    EXPECT_EQ(trace.Count(L"failed to call CryptCATAdminAcquireContext2(), err=127"), 2u);
}

TEST(digitalsignature_RealApi, ConcurrentVerificationsKeepTheirOwnResults) {
    struct Case {
        const wchar_t* file;
        DWORD expectedError;
    };
    const Case cases[] = {{L"ds_karvelo.dll", 0},
                          {L"ds_other.dll", ERROR_FAILED_ISSUER_CHECK},
                          {L"ds_sample.dll", kNoSignature},
                          {L"ds_tampered.dll", kBadDigest}};
    std::vector<VerifyResult> results(4 * 3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = Manager::VerifyDigitalSignature(TestFile(cases[i % 4].file).c_str(),
                                                         DS_VERIFY_KARVELO_SIGNER, false);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].dwErrorCode, cases[i % 4].expectedError) << cases[i % 4].file;
        EXPECT_EQ(results[i].bVerified, cases[i % 4].expectedError == 0) << cases[i % 4].file;
    }
}

// ---- signer lists ----

TEST(digitalsignature_Signers, FlagsSelectTheListsInAscendingOrder) {
    DSTEST::CTraceCapture trace;
    const SignerSet signers =
        Manager::PrepareSigners(DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_SYSTEM_SIGNERS);
    EXPECT_EQ(signers.size(), 6u);
    EXPECT_TRUE(trace.Has(
        L"CStvDigitalSignatureManagerEx::PrepareSigners - allowed signers=[Karvelo, Inc.],"
        L"[Microsoft Corporation],[Microsoft Windows],[Microsoft Windows Component Publisher],"
        L"[Microsoft Windows Hardware Compatibility Publisher],[Microsoft Windows Publisher],"));
    EXPECT_EQ(Manager::PrepareSigners(DS_VERIFY_SYSTEM_SIGNERS).count(L"Karvelo, Inc."), 0u);
    EXPECT_TRUE(Manager::PrepareSigners(DS_VERIFY_TRY_CATALOGS).empty());
}

TEST(digitalsignature_Signers, NamesCompareExactly) {
    const SignerSet karvelo = Manager::PrepareSigners(DS_VERIFY_KARVELO_SIGNER);
    EXPECT_TRUE(Manager::VerifySignerForDigitalSignature(L"Karvelo, Inc.", karvelo));
    EXPECT_FALSE(Manager::VerifySignerForDigitalSignature(L"karvelo, inc.", karvelo));
    EXPECT_FALSE(Manager::VerifySignerForDigitalSignature(L"Karvelo, Inc", karvelo));
    EXPECT_FALSE(Manager::VerifySignerForDigitalSignature(L"", karvelo));
    EXPECT_TRUE(Manager::VerifySignerForDigitalSignature(L"", SignerSet{}));
}

TEST(digitalsignature_Signers, NoStateGivesAnEmptySigner) {
    DSTEST::CTraceCapture trace;
    EXPECT_EQ(Manager::GetSignerFromhWVTStateData(nullptr), L"");
    EXPECT_TRUE(trace.Has(L"failed to call WTHelperProvDataFromStateData() to get Provider Data"));
}

}  // namespace
