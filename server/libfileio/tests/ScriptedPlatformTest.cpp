// Branches that Wine 8 cannot take, reached through the scripted platform
// table: an explicitly distrusted certificate, the SIP hash check, the
// multiple-sign platform and its walk over secondary signature indexes.
#include <gtest/gtest.h>

#include <string>

#include "FileIoTestSupport.h"
#include "multiplesigncheck.h"

namespace {

using FILEIOTEST::Fixture;
using FILEIOTEST::WinVerifyCall;

constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";

LONG Always(LONG status) {
    return status;
}

WINTRUST_DATA CallerRecord() {
    WINTRUST_DATA record{};
    record.cbStruct = sizeof(record);
    record.dwUIChoice = WTD_UI_NONE;
    record.dwUnionChoice = WTD_CHOICE_FILE;
    record.dwProvFlags = 0x1110;
    return record;
}

class ScriptedPlatform : public ::testing::Test {
protected:
    bool VerifyByCertInfo(CVerifyFileSignV2& verifier, const std::wstring& path) {
        WINTRUST_DATA record = CallerRecord();
        return verifier.VerifyEmbeddedSignatureByCertInfo(path.c_str(), &record, 0);
    }

    FILEIOTEST::CTraceCapture m_trace;
    FILEIOTEST::CScriptedPlatform m_platform;
};
using fileio_ScriptedPlatform = ScriptedPlatform;

// A verifier that trusts the "Karvelo, Inc." keys.
class ScriptedWithKeys : public ScriptedPlatform {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_verifier.LoadKorvalisAndUpdatePublicKeyList(
            Fixture(L"korvalis-karvelo.dll").c_str()));
    }

    CVerifyFileSignV2 m_verifier;
};
using fileio_ScriptedWithKeys = ScriptedWithKeys;

TEST_F(fileio_ScriptedWithKeys, ExplicitDistrustAloneDoesNotRefuse) {
    m_platform.ScriptWinVerifyTrust([](const WinVerifyCall&, DS::SignatureSettings*) {
        return Always(TRUST_E_EXPLICIT_DISTRUST);
    });
    m_platform.ScriptSipHashCheck(TRUE);
    const std::wstring path = Fixture(L"sample-karvelo.dll");
    EXPECT_TRUE(VerifyByCertInfo(m_verifier, path));
    EXPECT_TRUE(m_trace.Contains(L"LowLevelVerifyHash - path=[" + path + L"], ret=[true]"));
    EXPECT_TRUE(m_trace.Contains(
        L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo - Primary signature verified: 1"));
}

TEST_F(fileio_ScriptedWithKeys, ExplicitDistrustWithMismatchingHashIsRefused) {
    m_platform.ScriptWinVerifyTrust([](const WinVerifyCall&, DS::SignatureSettings*) {
        return Always(TRUST_E_EXPLICIT_DISTRUST);
    });
    m_platform.ScriptSipHashCheck(FALSE, static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    EXPECT_FALSE(VerifyByCertInfo(m_verifier, Fixture(L"sample-karvelo.dll")));
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        L"LowLevelVerifyHash - failed to CryptSIPVerifyIndirectData, err=[0x80096010]");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
    EXPECT_TRUE(
        m_trace.Contains(L"The file hash doesn't match the file signature, error code: 800b0111"));
    EXPECT_FALSE(m_trace.Contains(L"Primary signature verified"));
}

TEST_F(fileio_ScriptedWithKeys, OtherWinTrustFailureRefusesWithoutTheLowLevelCheck) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall&, DS::SignatureSettings*) { return Always(CERT_E_UNTRUSTEDROOT); });
    m_platform.ScriptSipHashCheck(TRUE);
    EXPECT_FALSE(VerifyByCertInfo(m_verifier, Fixture(L"sample-karvelo.dll")));
    EXPECT_TRUE(m_trace.Contains(L"error code: 800b0109"));
    EXPECT_FALSE(m_trace.Contains(L"LowLevelVerifyHash"));
}

TEST_F(fileio_ScriptedWithKeys, SingleCheckRecordHasTheCallerSettingsAndItsOwnState) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall&, DS::SignatureSettings*) { return 0L; });
    EXPECT_TRUE(VerifyByCertInfo(m_verifier, Fixture(L"sample-karvelo.dll")));
    ASSERT_EQ(m_platform.calls.size(), 2u);
    const WinVerifyCall& verify = m_platform.calls[0];
    EXPECT_EQ(verify.cbStruct, 80u);
    EXPECT_EQ(verify.stateAction, static_cast<DWORD>(WTD_STATEACTION_IGNORE));
    EXPECT_EQ(verify.provFlags, static_cast<DWORD>(WTD_HASH_ONLY_FLAG));
    EXPECT_EQ(verify.uiChoice, static_cast<DWORD>(WTD_UI_NONE));
    EXPECT_EQ(verify.stateHandle, nullptr);
    // The open file, and its path with it as documented (the held-file
    // tests show which file the handle is).
    EXPECT_NE(verify.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(verify.path, Fixture(L"sample-karvelo.dll"));
    EXPECT_EQ(m_platform.calls[1].stateAction, static_cast<DWORD>(WTD_STATEACTION_CLOSE));
}

TEST_F(fileio_ScriptedPlatform, FileThatCannotBeOpenedGoesToWinTrustByPath) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall&, DS::SignatureSettings*) { return Always(TRUST_E_NOSIGNATURE); });
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV1(Fixture(L"no-such-file.dll").c_str()),
              static_cast<LONG>(TRUST_E_NOSIGNATURE));
    ASSERT_FALSE(m_platform.calls.empty());
    EXPECT_EQ(m_platform.calls[0].file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(m_platform.calls[0].hasPath);
}

class MultipleSignPlatform : public ScriptedPlatform {
protected:
    void SetUp() override { m_platform.ScriptMultipleSignPlatform(); }
};
using fileio_MultipleSignPlatform = MultipleSignPlatform;

TEST_F(fileio_MultipleSignPlatform, ProbeFindsTheNewerCatalogFunctions) {
    CVerifyFileSignV2 verifier;
    EXPECT_TRUE(verifier.SupportsMultipleSignatures());
    EXPECT_FALSE(m_trace.Contains(L"Do not support multiple sign."));
}

TEST_F(fileio_MultipleSignPlatform, CertInfoCheckUsesTheMultipleSignRecord) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall&, DS::SignatureSettings*) { return 0L; });
    CVerifyFileSignV2 verifier;
    ASSERT_TRUE(
        verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-karvelo.dll").c_str()));
    EXPECT_TRUE(VerifyByCertInfo(verifier, Fixture(L"sample-karvelo.dll")));
    ASSERT_EQ(m_platform.calls.size(), 2u);
    const WinVerifyCall& verify = m_platform.calls[0];
    EXPECT_EQ(verify.cbStruct, 88u);
    EXPECT_EQ(verify.stateAction, static_cast<DWORD>(WTD_STATEACTION_VERIFY));
    EXPECT_EQ(verify.provFlags, static_cast<DWORD>(WTD_HASH_ONLY_FLAG));
    EXPECT_TRUE(verify.hasSettings);
    EXPECT_EQ(verify.settingsFlags, DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount);
    EXPECT_EQ(verify.index, 0u);
    EXPECT_TRUE(verify.policyOid.empty());  // the strong-hash switch is off here
    EXPECT_EQ(m_platform.calls[1].stateAction, static_cast<DWORD>(WTD_STATEACTION_CLOSE));
    EXPECT_TRUE(
        m_trace.Contains(L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2 - WinVerifyTrust "
                         L"result=(0x0), secondary sigs=(0)"));
}

// Two secondary signatures; only the one at `goodIndex` verifies.
LONG TwoSecondaries(DWORD goodIndex, const WinVerifyCall& call, DS::SignatureSettings* settings) {
    settings->cSecondarySigs = 2;
    return call.index == goodIndex ? 0 : static_cast<LONG>(TRUST_E_BAD_DIGEST);
}

TEST_F(fileio_MultipleSignPlatform, SecondarySignaturesAreTriedUntilOneVerifies) {
    m_platform.ScriptWinVerifyTrust([](const WinVerifyCall& call, DS::SignatureSettings* settings) {
        return TwoSecondaries(2, call, settings);
    });
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV2(Fixture(L"sample-karvelo.dll").c_str(), false), 0);
    ASSERT_EQ(m_platform.calls.size(), 6u);  // verify and close for indexes 0, 1, 2
    for (size_t i = 0; i < 6; i += 2) {
        EXPECT_EQ(m_platform.calls[i].stateAction, static_cast<DWORD>(WTD_STATEACTION_VERIFY));
        EXPECT_EQ(m_platform.calls[i].index, i / 2);
        EXPECT_EQ(m_platform.calls[i].stateHandle, nullptr);  // a fresh state each time
        EXPECT_EQ(m_platform.calls[i + 1].stateAction, static_cast<DWORD>(WTD_STATEACTION_CLOSE));
    }
    EXPECT_TRUE(m_trace.Contains(L"WinVerifyTrust result=(0x80096010), secondary sigs=(2)"));
    EXPECT_TRUE(m_trace.Contains(L"Verify secondary signature at index 1... ret=(0x80096010)"));
    EXPECT_TRUE(m_trace.Contains(L"Verify secondary signature at index 2... ret=(0x0)"));
}

TEST_F(fileio_MultipleSignPlatform, WalkStopsAtTheFirstVerifiedIndex) {
    m_platform.ScriptWinVerifyTrust([](const WinVerifyCall& call, DS::SignatureSettings* settings) {
        return TwoSecondaries(1, call, settings);
    });
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV2(Fixture(L"sample-karvelo.dll").c_str(), false), 0);
    EXPECT_EQ(m_platform.calls.size(), 4u);
}

TEST_F(fileio_MultipleSignPlatform, WalkEndsAtTheReportedCountWithTheLastStatus) {
    m_platform.ScriptWinVerifyTrust([](const WinVerifyCall& call, DS::SignatureSettings* settings) {
        settings->cSecondarySigs = 1;
        return call.index == 0 ? static_cast<LONG>(TRUST_E_BAD_DIGEST)
                               : static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
    });
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV2(Fixture(L"sample-karvelo.dll").c_str(), false),
              static_cast<LONG>(CERT_E_UNTRUSTEDROOT));
    EXPECT_EQ(m_platform.calls.size(), 4u);
}

TEST_F(fileio_MultipleSignPlatform, FailingCloseEndsTheWalkWithTheCloseStatus) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall& call, DS::SignatureSettings* settings) {
            return TwoSecondaries(2, call, settings);
        },
        ERROR_INVALID_PARAMETER);
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV2(Fixture(L"sample-karvelo.dll").c_str(), false),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_platform.calls.size(), 2u);
    EXPECT_TRUE(m_trace.Contains(L"close WinVerifyTrust failed... ret=(0x57)"));
}

TEST_F(fileio_MultipleSignPlatform, StrongHashSwitchAsksForTheStrongSignPolicy) {
    m_platform.ScriptWinVerifyTrust(
        [](const WinVerifyCall&, DS::SignatureSettings*) { return 0L; });
    CVerifyFileSignV2 verifier;
    EXPECT_EQ(verifier.VerifyEmbeddedSignatureV2(Fixture(L"sample-karvelo.dll").c_str(), true), 0);
    ASSERT_FALSE(m_platform.calls.empty());
    EXPECT_EQ(m_platform.calls[0].policyOid, "1.3.6.1.4.1.311.72.1.1");
}

// The SIP hash check: Wine stubs the subject-type lookup and the final
// comparison; the signed-data read, decode and indirect-data decoding in
// between are Wine's own.
TEST_F(fileio_ScriptedPlatform, LowLevelHashCheckHandsTheDecodedIndirectDataToTheSip) {
    m_platform.ScriptSipHashCheck(TRUE);
    const std::wstring path = Fixture(L"sample-karvelo.dll");
    EXPECT_TRUE(LowLevelVerifyHash(path.c_str()));
    ASSERT_EQ(m_platform.indirectDataDigestOids.size(), 1u);
    EXPECT_EQ(m_platform.indirectDataDigestOids[0], kSha256Oid);
    EXPECT_EQ(m_platform.indirectDataDigestSizes[0], 32u);
    EXPECT_EQ(m_platform.sipSubjectFiles[0], path);
    const FILEIOTEST::TraceLine* line =
        m_trace.Find(L"LowLevelVerifyHash - path=[" + path + L"], ret=[true]");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
}

TEST_F(fileio_ScriptedPlatform, LowLevelHashCheckOfAnUnsignedFileFailsAtTheSignedData) {
    m_platform.ScriptSipHashCheck(TRUE);
    EXPECT_FALSE(LowLevelVerifyHash(FILEIOTEST::UnsignedSample().c_str()));
    EXPECT_TRUE(m_platform.sipSubjectFiles.empty());
    EXPECT_TRUE(
        m_trace.Contains(L"LowLevelVerifyHash - failed to CryptSIPGetSignedDataMsg, err=[0x"));
    EXPECT_TRUE(m_trace.Contains(L"], ret=[false]"));
}

TEST_F(fileio_ScriptedPlatform, LowLevelHashCheckOfNoPathIsRefused) {
    EXPECT_FALSE(LowLevelVerifyHash(nullptr));
    EXPECT_TRUE(m_trace.Contains(L"LowLevelVerifyHash - path is NULL"));
    EXPECT_TRUE(m_trace.Contains(L"LowLevelVerifyHash - path=[null], ret=[false]"));
}

}  // namespace
