// The certificate-information checks. CryptoAPI is Wine's own throughout;
// only the chain policies are scripted where Wine 8 answers unlike Windows
// (the timestamp policy, the ignore-expiration setting).
#include <gtest/gtest.h>

#include "DsTestSupport.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

class digitalsignature_CertInfo : public ::testing::Test {
protected:
    digitalsignature_CertInfo() : m_platform(TimestampAccepted()) {}

    static DSTEST::Script TimestampAccepted() {
        DSTEST::Script script;
        script.chainPolicy = DSTEST::PolicyAsOnWindows;
        return script;
    }

    bool Verify(const wchar_t* file, DWORD dwFlags) {
        return Manager::VerifyDigitalSignatureCertInfoFile(TestFile(file).c_str(), dwFlags);
    }

    DSTEST::CScriptedPlatform m_platform;
};

TEST_F(digitalsignature_CertInfo, AllowedSignerPasses) {
    DSTEST::CTraceCapture trace;
    EXPECT_TRUE(Verify(L"ds_karvelo.dll", DS_VERIFY_KARVELO_SIGNER));
    EXPECT_TRUE(trace.Has(L"EzCertGetSubjectName - subject name=[Karvelo, Inc.]"));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfo - find a valid digital signature and "
                  L"signer is correct"));
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfoFile - verify result=1"));
}

TEST_F(digitalsignature_CertInfo, NoFlagsAcceptAnyValidSigner) {
    DSTEST::CTraceCapture trace;
    EXPECT_TRUE(Verify(L"ds_other.dll", 0));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfo - find a valid digital signature and "
                  L"no need to check signer"));
}

TEST_F(digitalsignature_CertInfo, ExpiredButOtherwiseValidCertificatePasses) {
    DSTEST::CTraceCapture trace;
    EXPECT_TRUE(Verify(L"ds_expired.dll", DS_VERIFY_KARVELO_SIGNER));
    EXPECT_FALSE(trace.Has(L"CERT_TRUST_STATUS::dwErrorStatus="));
}

TEST_F(digitalsignature_CertInfo,
       RefusedPrimaryWithAnAllowedNestedSignerPassesThroughTheNestedWalk) {
    DSTEST::CTraceCapture trace;
    EXPECT_TRUE(Verify(L"ds_other_nest_karvelo.dll", DS_VERIFY_KARVELO_SIGNER));
    const size_t primary = trace.Find(L"VerifyDigitalSignatureCertInfo - signer=Other Signer Ltd");
    const size_t nested = trace.Find(L"VerifyDigitalSignatureCertInfo - signer=Karvelo, Inc.");
    ASSERT_NE(primary, std::wstring::npos);
    ASSERT_NE(nested, std::wstring::npos);
    EXPECT_LT(primary, nested);
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfoBlob - verify result=1"));
}

TEST_F(digitalsignature_CertInfo, RefusedPrimaryWithoutNestedSignatureIsRefused) {
    DSTEST::CTraceCapture trace;
    EXPECT_FALSE(Verify(L"ds_other.dll", DS_VERIFY_KARVELO_SIGNER));
    EXPECT_FALSE(trace.Has(L"VerifyDigitalSignatureCertInfoBlob"));
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfoFile - verify result=0"));
}

TEST_F(digitalsignature_CertInfo, InvalidPrimaryChainIsRefusedWithoutLookingAtNestedSignatures) {
    DSTEST::CTraceCapture trace;
    EXPECT_FALSE(Verify(L"ds_untrusted_nest_karvelo.dll", DS_VERIFY_KARVELO_SIGNER));
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfo - CERT_TRUST_STATUS::dwErrorStatus="));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfo - exception is thrown: "
                  L"CertGetCertificateChain() indicates invalid sign"));
    EXPECT_FALSE(trace.Has(L"VerifyDigitalSignatureCertInfoBlob"));
}

TEST_F(digitalsignature_CertInfo, UnsignedFileIsRefusedWithErrorLines) {
    DSTEST::CTraceCapture trace;
    EXPECT_FALSE(Verify(L"ds_sample.dll", DS_VERIFY_KARVELO_SIGNER));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfoFile - failed to call CryptQueryObject(), err="));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfoFile - exception is thrown: failed to call "
                  L"CryptQueryObject() to query digital signature"));
}

TEST_F(digitalsignature_CertInfo, BlobThatIsNoSignedMessageIsRefused) {
    BYTE garbage[] = {1, 2, 3, 4};
    const CRYPT_DATA_BLOB blob = {sizeof(garbage), garbage};
    DS::CFileImageDigest file(TestFile(L"ds_karvelo.dll").c_str());
    EXPECT_FALSE(Manager::VerifyDigitalSignatureCertInfoBlob(blob, 0, file));
}

TEST_F(digitalsignature_CertInfo, RefusedAuthenticodePolicyIsRefused) {
    DSTEST::Script script;
    script.chainPolicy = [](LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA para,
                            PCERT_CHAIN_POLICY_STATUS status) {
        // The record sizes the policy receives.
        EXPECT_EQ(para->cbSize, 16u);
        EXPECT_EQ(static_cast<AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara)
                      ->dwRegPolicySettings,
                  0x300u);
        EXPECT_EQ(status->cbSize, 24u);
        status->dwError = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
        return TRUE;
    };
    DSTEST::CScriptedPlatform refusing(script);
    DSTEST::CTraceCapture trace;
    EXPECT_FALSE(Verify(L"ds_karvelo.dll", 0));
    EXPECT_TRUE(trace.Has(L"CERT_CHAIN_POLICY_STATUS::dwError=[800b0109]"));
    EXPECT_TRUE(
        trace.Has(L"exception is thrown: CertVerifyCertificateChainPolicy() indicates "
                  L"invalid sign"));
}

TEST(digitalsignature_CertInfoRealApi, WineRefusesTheTimestampPolicy) {
    DSTEST::CTraceCapture trace;
    EXPECT_FALSE(Manager::VerifyDigitalSignatureCertInfoFile(TestFile(L"ds_karvelo.dll").c_str(),
                                                             DS_VERIFY_KARVELO_SIGNER));
    EXPECT_TRUE(
        trace.Has(L"exception is thrown: failed to call CertVerifyCertificateChainPolicy() "
                  L"to verify the chain policy for timestamp"));
}

TEST(digitalsignature_CertInfoRealApi, NoStoreOrMessageIsRefused) {
    DSTEST::CTraceCapture trace;
    DS::CFileImageDigest file(TestFile(L"ds_karvelo.dll").c_str());
    EXPECT_FALSE(Manager::VerifyDigitalSignatureCertInfo(nullptr, nullptr, 0, file));
    EXPECT_TRUE(
        trace.Has(L"VerifyDigitalSignatureCertInfo - exception is thrown: failed to get "
                  L"signer cert info"));
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfo - verify result=0"));
}

TEST(digitalsignature_EzHelpers, NullArgumentsAreRefused) {
    DSTEST::CTraceCapture trace;
    EXPECT_EQ(Manager::EzMsgGetParam(nullptr), nullptr);
    EXPECT_TRUE(Manager::EzCATAdminCalcHashFromFileHandle(nullptr).empty());
    EXPECT_TRUE(Manager::EzCATAdminCalcHashFromFileHandle2(nullptr, nullptr).empty());
    EXPECT_TRUE(trace.Has(L"EzMsgGetParam - invalid function parameter"));
    EXPECT_TRUE(trace.Has(L"EzCATAdminCalcHashFromFileHandle - invalid function parameter"));
    EXPECT_TRUE(trace.Has(L"EzCATAdminCalcHashFromFileHandle2 - invalid function parameter"));
}

}  // namespace
