// The decision trees that Wine 8 cannot walk by itself, through the scripted
// platform: the multiple-sign platform with its secondary signatures and
// SHA-1/SHA-256 catalog rounds, and the fallbacks of the single-sign one.
// Real files and real WinTrust states stand behind every scripted answer, so
// the signer names come from real certificates.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DsTestSupport.h"
#include "ds_stvdsmanager.h"

namespace {

using DSTEST::TestFile;
using Manager = CStvDigitalSignatureManagerEx;

constexpr DWORD kNoSignature = 0x800B0100;
constexpr DWORD kBadDigest = 0x80096010;
constexpr DWORD kBothFlags = DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_TRY_CATALOGS;
const wchar_t kTryCertInfo[] = L"try to verify by certificate information";
const wchar_t kFakeCatalog[] = L"C:\\windows\\system32\\catroot\\zel_scripted.cat";

DWORD IndexOf(const DS::WinTrustDataEx& record) {
    if (record.data.cbStruct < sizeof(DS::WinTrustDataEx) || record.pSignatureSettings == nullptr) {
        return 0;
    }
    return record.pSignatureSettings->dwIndex;
}

void ReportSecondaryCount(DS::WinTrustDataEx& record, DWORD count) {
    if (record.data.cbStruct >= sizeof(DS::WinTrustDataEx) &&
        record.pSignatureSettings != nullptr) {
        record.pSignatureSettings->cSecondarySigs = count;
    }
}

LONG RealVerify(DS::WinTrustDataEx& record) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return DS::RealTrustPlatform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action,
                                                  &record);
}

// The process-wide platform helper is made once per process, and ctest runs
// every test in a process of its own: a test that needs the multiple-sign
// platform installs its script before the helper's first use.
#define REQUIRE_MULTIPLE_SIGN_PLATFORM()                                     \
    ASSERT_TRUE(CSingletonWinTrustHelper::Instance().SupportsMultipleSign()) \
        << "the platform helper of this process is single-sign (ctest runs each test alone)"
#define REQUIRE_SINGLE_SIGN_PLATFORM()                                        \
    ASSERT_FALSE(CSingletonWinTrustHelper::Instance().SupportsMultipleSign()) \
        << "the platform helper of this process is multiple-sign (ctest runs each test alone)"

// Catalog rounds: a context per algorithm, a hash of that algorithm's size,
// and a catalog that lists only the hash of `listedAlgorithm`.
struct CatalogScript {
    CatalogScript(const wchar_t* listed, const wchar_t* signer)
        : listedAlgorithm(listed), catalogSigner(signer) {}

    std::wstring listedAlgorithm;
    std::wstring catalogSigner;  // the real file whose signer signs the catalog
    std::vector<std::wstring> algorithms;
    std::vector<std::wstring> memberTags;
    std::vector<DWORD> memberRecordSizes;
    std::vector<HCATADMIN> memberContexts;

    void Install(DSTEST::Script& script) {
        script.acquireContext2 = [this](HCATADMIN* phCatAdmin, PCWSTR algorithm) {
            algorithms.push_back(algorithm);
            *phCatAdmin = DSTEST::FakeHandle(static_cast<int>(algorithms.size()));
            return TRUE;
        };
        script.calcHash2 = [this](HCATADMIN, HANDLE, DWORD* pcbHash, BYTE* pbHash) {
            const DWORD size = algorithms.back() == L"SHA256" ? 32 : 20;
            if (pbHash == nullptr) {
                *pcbHash = size;
                return TRUE;
            }
            for (DWORD i = 0; i < size; ++i) pbHash[i] = static_cast<BYTE>(0xA0 + i);
            *pcbHash = size;
            return TRUE;
        };
        script.enumCatalogFromHash = [this](HCATADMIN, BYTE*, DWORD cbHash) -> HCATINFO {
            const DWORD listedSize = listedAlgorithm == L"SHA256" ? 32
                                     : listedAlgorithm == L"SHA1" ? 20
                                                                  : 0;
            if (cbHash != listedSize) {
                ::SetLastError(ERROR_NOT_FOUND);
                return nullptr;
            }
            return DSTEST::FakeHandle(0x100);
        };
        script.catalogInfoFromContext = [](HCATINFO, CATALOG_INFO* info) {
            wcscpy_s(info->wszCatalogFile, kFakeCatalog);
            return TRUE;
        };
    }

    LONG VerifyMember(DS::WinTrustDataEx& record) {
        const auto* member = reinterpret_cast<const WINTRUST_CATALOG_INFO*>(record.data.pCatalog);
        memberTags.push_back(member->pcwszMemberTag);
        memberRecordSizes.push_back(member->cbStruct);
        memberContexts.push_back(*reinterpret_cast<const HCATADMIN*>(member + 1));
        return DSTEST::VerifyRealFileInto(TestFile(catalogSigner.c_str()), record);
    }
};

// ---- platform probe ----

TEST(digitalsignature_PlatformProbe, BothNewerEntryPointsMakeAMultipleSignPlatform) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    DSTEST::CScriptedPlatform platform(script);
    DSTEST::CTraceCapture trace;
    CSingletonWinTrustHelper helper;
    EXPECT_TRUE(helper.SupportsMultipleSign());
    EXPECT_NE(helper.AcquireContext2(), nullptr);
    EXPECT_NE(helper.CalcHashFromFileHandle2(), nullptr);
    EXPECT_TRUE(trace.Has(
        L"CSingletonWinTrustHelper::CSingletonWinTrustHelper - support multiple sign platform"));
}

TEST(digitalsignature_PlatformProbe, OneNewerEntryPointAloneMakesASingleSignPlatform) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    script.onlyAcquireContext2 = true;
    DSTEST::CScriptedPlatform platform(script);
    DSTEST::CTraceCapture trace;
    CSingletonWinTrustHelper helper;
    EXPECT_FALSE(helper.SupportsMultipleSign());
    EXPECT_EQ(helper.AcquireContext2(), nullptr);
    EXPECT_EQ(helper.CalcHashFromFileHandle2(), nullptr);
    EXPECT_TRUE(trace.Has(
        L"CSingletonWinTrustHelper::CSingletonWinTrustHelper - support single sign platform"));
}

// ---- multiple-sign platform: embedded signatures ----

TEST(digitalsignature_MultipleSign, AllowedSecondarySignaturePassesAfterARefusedPrimary) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<DWORD> indices;
    std::vector<DWORD> sizes;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        indices.push_back(IndexOf(record));
        sizes.push_back(record.data.cbStruct);
        if (IndexOf(record) == 0) {
            ReportSecondaryCount(record, 1);
            return DSTEST::VerifyRealFileInto(TestFile(L"ds_other_nest_karvelo.dll"), record);
        }
        return DSTEST::VerifyRealFileInto(TestFile(L"ds_karvelo.dll"), record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyDigitalSignature(
        TestFile(L"ds_other_nest_karvelo.dll").c_str(), DS_VERIFY_KARVELO_SIGNER, false);

    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_EQ(indices, (std::vector<DWORD>{0, 1}));
    EXPECT_EQ(sizes, (std::vector<DWORD>{88, 88}));
    const size_t refused = trace.Find(
        L"VerifyEmbeddedSignatureMultipleSign - find a valid digital signature but signer is "
        L"incorrect");
    const size_t accepted = trace.Find(
        L"VerifyEmbeddedSignatureMultipleSign - find a valid digital signature and signer is "
        L"correct");
    ASSERT_NE(refused, std::wstring::npos);
    ASSERT_NE(accepted, std::wstring::npos);
    EXPECT_LT(refused, accepted);
    EXPECT_FALSE(trace.Has(kTryCertInfo));
}

TEST(digitalsignature_MultipleSign, RefusedSignersOnlyGiveTheIssuerErrorWithoutFallback) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<DWORD> indices;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        indices.push_back(IndexOf(record));
        ReportSecondaryCount(record, 1);
        return DSTEST::VerifyRealFileInto(TestFile(L"ds_other.dll"), record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyDigitalSignature(TestFile(L"ds_other.dll").c_str(),
                                                                DS_VERIFY_KARVELO_SIGNER, false);

    EXPECT_EQ(result.dwErrorCode, ERROR_FAILED_ISSUER_CHECK);
    EXPECT_FALSE(result.bVerified);
    EXPECT_EQ(indices, (std::vector<DWORD>{0, 1}));
    EXPECT_FALSE(trace.Has(kTryCertInfo));
    EXPECT_FALSE(trace.Has(L"VerifyByMSCatalogMutipleSign"));  // catalog flag clear
}

TEST(digitalsignature_MultipleSign,
     FailedSecondaryVerificationTriesTheCertificateFallbackAndKeepsItsError) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<DWORD> fallbackSizes;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) -> LONG {
        if (record.data.cbStruct != sizeof(DS::WinTrustDataEx)) {
            fallbackSizes.push_back(record.data.cbStruct);  // the verifier's own calls
            return RealVerify(record);
        }
        if (IndexOf(record) == 0) {
            ReportSecondaryCount(record, 1);
            return DSTEST::VerifyRealFileInto(TestFile(L"ds_other.dll"), record);
        }
        return static_cast<LONG>(kBadDigest);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyEmbeddedSignatureMultipleSign(
        TestFile(L"ds_other.dll").c_str(), DS_VERIFY_KARVELO_SIGNER, false);

    EXPECT_EQ(result.dwErrorCode, kBadDigest);
    EXPECT_FALSE(result.bVerified);
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureMultipleSign - failed to call WinVerifyTrust(), "
                  L"StatusVerify=80096010"));
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureMultipleSign - try to verify by certificate "
                  L"information"));
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureMultipleSign - failed to verify by certificate "
                  L"information"));
}

TEST(digitalsignature_MultipleSign, StrongHashSwitchHandsTheStrongSignPolicyToWinTrust) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<std::string> policies;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        const CERT_STRONG_SIGN_PARA* policy = record.pSignatureSettings->pCryptoPolicy;
        if (policy == nullptr) {
            policies.push_back("none");
        } else {
            EXPECT_EQ(policy->cbSize, 16u);
            EXPECT_EQ(policy->dwInfoChoice, static_cast<DWORD>(CERT_STRONG_SIGN_OID_INFO_CHOICE));
            policies.push_back(policy->pszOID);
        }
        EXPECT_EQ(record.pSignatureSettings->cbStruct, 32u);
        EXPECT_EQ(record.pSignatureSettings->dwFlags, 3u);
        return DSTEST::VerifyRealFileInto(TestFile(L"ds_karvelo.dll"), record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();

    const std::wstring file = TestFile(L"ds_karvelo.dll");
    EXPECT_TRUE(Manager::VerifyDigitalSignature(file.c_str(), 1, true).bVerified);
    EXPECT_TRUE(Manager::VerifyDigitalSignature(file.c_str(), 1, false).bVerified);
    EXPECT_EQ(policies, (std::vector<std::string>{"1.3.6.1.4.1.311.72.1.1", "none"}));
}

// ---- multiple-sign platform: catalogs ----

TEST(digitalsignature_MultipleSignCatalog, SecondRoundBySha256PassesWhenOnlyThatHashIsListed) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    CatalogScript catalogs(L"SHA256", L"ds_system.dll");
    catalogs.Install(script);
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        if (record.data.dwUnionChoice == WTD_CHOICE_CATALOG) return catalogs.VerifyMember(record);
        return RealVerify(record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_sample.dll").c_str(), kBothFlags, false);

    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_EQ(catalogs.algorithms, (std::vector<std::wstring>{L"SHA1", L"SHA256"}));
    std::wstring sha256Text;
    for (int i = 0; i < 32; ++i) {
        wchar_t digits[3];
        _snwprintf(digits, 3, L"%02X", 0xA0 + i);
        sha256Text += digits;
    }
    EXPECT_EQ(catalogs.memberTags, (std::vector<std::wstring>{sha256Text}));
    EXPECT_EQ(catalogs.memberRecordSizes, (std::vector<DWORD>{72}));
    EXPECT_EQ(catalogs.memberContexts, (std::vector<HCATADMIN>{DSTEST::FakeHandle(2)}));
    EXPECT_TRUE(
        trace.Has(L"VerifyByMSCatalogMutipleSign - failed to call "
                  L"CryptCATAdminEnumCatalogFromHash(), err=1168"));
    EXPECT_TRUE(trace.Has(std::wstring(L"VerifyByMSCatalogMutipleSign - catalog file path=") +
                          kFakeCatalog));
    EXPECT_TRUE(trace.Has(L"VerifyByMSCatalogMutipleSign - hash algorithm=SHA256, file hash=" +
                          sha256Text));
}

TEST(digitalsignature_MultipleSignCatalog, FirstRoundBySha1EndsTheSearch) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    CatalogScript catalogs(L"SHA1", L"ds_system.dll");
    catalogs.Install(script);
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        return catalogs.VerifyMember(record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();

    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(TestFile(L"ds_sample.dll").c_str(), false), 0u);
    EXPECT_EQ(catalogs.algorithms, (std::vector<std::wstring>{L"SHA1"}));
}

TEST(digitalsignature_MultipleSignCatalog,
     NoListingCatalogGivesNoSignatureAndTheEmbeddedErrorSurvives) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    CatalogScript catalogs(L"none", L"ds_system.dll");
    catalogs.Install(script);
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();

    const std::wstring file = TestFile(L"ds_sample.dll");
    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(file.c_str(), false), kNoSignature);
    EXPECT_EQ(catalogs.algorithms, (std::vector<std::wstring>{L"SHA1", L"SHA256"}));

    const VerifyResult result = Manager::VerifyDigitalSignature(file.c_str(), kBothFlags, false);
    EXPECT_EQ(result.dwErrorCode, kNoSignature);  // from the embedded check
    EXPECT_FALSE(result.bVerified);
}

TEST(digitalsignature_MultipleSignCatalog, KarveloSignedCatalogIsRefusedEvenWithTheKarveloFlag) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    CatalogScript catalogs(L"SHA1", L"ds_karvelo.dll");
    catalogs.Install(script);
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        if (record.data.dwUnionChoice == WTD_CHOICE_CATALOG) return catalogs.VerifyMember(record);
        return RealVerify(record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const std::wstring file = TestFile(L"ds_sample.dll");
    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(file.c_str(), false),
              ERROR_FAILED_ISSUER_CHECK);
    const VerifyResult result = Manager::VerifyDigitalSignature(file.c_str(), kBothFlags, false);
    EXPECT_EQ(result.dwErrorCode, kNoSignature);
    EXPECT_FALSE(result.bVerified);
    EXPECT_TRUE(
        trace.Has(L"VerifyByMSCatalogMutipleSign - find a valid digital signature but "
                  L"signer is incorrect"));
}

TEST(digitalsignature_MultipleSignCatalog, FailedContextMovesToTheNextAlgorithm) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<std::wstring> algorithms;
    script.acquireContext2 = [&](HCATADMIN*, PCWSTR algorithm) {
        algorithms.push_back(algorithm);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(TestFile(L"ds_sample.dll").c_str(), false),
              kNoSignature);
    EXPECT_EQ(algorithms, (std::vector<std::wstring>{L"SHA1", L"SHA256"}));
    EXPECT_EQ(trace.Count(L"failed to call CryptCATAdminAcquireContext2(), err=87"), 2u);
}

// ---- single-sign platform (Wine's own), with scripted catalogs ----

TEST(digitalsignature_SingleSignCatalog, SystemSignedCatalogRescuesAnUnsignedFile) {
    DSTEST::Script script;
    std::vector<DWORD> memberSizes;
    script.enumCatalogFromHash = [](HCATADMIN, BYTE*, DWORD cbHash) -> HCATINFO {
        return cbHash == 20 ? DSTEST::FakeHandle(0x200) : nullptr;
    };
    script.catalogInfoFromContext = [](HCATINFO, CATALOG_INFO* info) {
        wcscpy_s(info->wszCatalogFile, kFakeCatalog);
        return TRUE;
    };
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        if (record.data.dwUnionChoice != WTD_CHOICE_CATALOG) return RealVerify(record);
        memberSizes.push_back(record.data.pCatalog->cbStruct);
        EXPECT_EQ(record.data.cbStruct, 80u);
        return DSTEST::VerifyRealFileInto(TestFile(L"ds_system.dll"), record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_SINGLE_SIGN_PLATFORM();

    const VerifyResult result =
        Manager::VerifyDigitalSignature(TestFile(L"ds_sample.dll").c_str(), kBothFlags, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_EQ(memberSizes, (std::vector<DWORD>{64}));
}

TEST(digitalsignature_SingleSignCatalog, NoListingCatalogGivesTheLastErrorOfTheSearch) {
    DSTEST::Script script;
    script.enumCatalogFromHash = [](HCATADMIN, BYTE*, DWORD) -> HCATINFO {
        ::SetLastError(ERROR_NOT_FOUND);
        return nullptr;
    };
    DSTEST::CScriptedPlatform platform(script);
    DSTEST::CTraceCapture trace;
    EXPECT_EQ(Manager::VerifyByMSCatalogSingleSign(TestFile(L"ds_sample.dll").c_str()),
              static_cast<uint32_t>(ERROR_NOT_FOUND));
    EXPECT_TRUE(trace.Has(L"VerifyByMSCatalogSingleSign - create context with algorithm=SHA1"));
    EXPECT_TRUE(
        trace.Has(L"VerifyByMSCatalogSingleSign - failed to call "
                  L"CryptCATAdminEnumCatalogFromHash(), err=1168"));
}

TEST(digitalsignature_SingleSignCatalog, MissingFileGivesTheOpenError) {
    DSTEST::CTraceCapture trace;
    EXPECT_EQ(Manager::VerifyByMSCatalogSingleSign(TestFile(L"no_such_file.dll").c_str()),
              static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Manager::VerifyByMSCatalogMutipleSign(TestFile(L"no_such_file.dll").c_str(), false),
              static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(trace.Count(L"failed to open file="), 2u);
}

// ---- single-sign platform: the certificate-information fallback ----

TEST(digitalsignature_SingleSign, CertificateInformationRescuesARefusedEmbeddedSigner) {
    DSTEST::Script script;
    script.chainPolicy = DSTEST::PolicyAsOnWindows;
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_SINGLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyDigitalSignature(
        TestFile(L"ds_other_nest_karvelo.dll").c_str(), DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureSingleSign - find a valid digital signature "
                  L"but signer is incorrect"));
    EXPECT_TRUE(trace.Has(L"VerifyDigitalSignatureCertInfo - signer=Karvelo, Inc."));
}

TEST(digitalsignature_SingleSign, ExpiredSignerPassesThroughTheTrustedKeyList) {
    DSTEST::Script script;
    script.winVerifyTrust = DSTEST::VerifyAsOnWindows;
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_SINGLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyDigitalSignature(TestFile(L"ds_expired.dll").c_str(),
                                                                DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureSingleSign - failed to call WinVerifyTrust(), "
                  L"StatusVerify=800b0101"));
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureSingleSign - successfully to verify by "
                  L"certificate information"));
    EXPECT_FALSE(trace.Has(L"VerifyDigitalSignatureCertInfoFile"));  // not needed any more
}

TEST(digitalsignature_MultipleSign, ExpiredSignerPassesThroughTheTrustedKeyList) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    std::vector<DWORD> sizes;
    script.winVerifyTrust = [&](DS::WinTrustDataEx& record) {
        sizes.push_back(record.data.cbStruct);
        ReportSecondaryCount(record, 0);
        return DSTEST::VerifyAsOnWindows(record);
    };
    DSTEST::CScriptedPlatform platform(script);
    REQUIRE_MULTIPLE_SIGN_PLATFORM();
    DSTEST::CTraceCapture trace;

    const VerifyResult result = Manager::VerifyDigitalSignature(TestFile(L"ds_expired.dll").c_str(),
                                                                DS_VERIFY_KARVELO_SIGNER, false);
    EXPECT_EQ(result.dwErrorCode, 0u);
    EXPECT_TRUE(result.bVerified);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.front(), 88u);
    EXPECT_TRUE(
        trace.Has(L"VerifyEmbeddedSignatureMultipleSign - successfully to verify by "
                  L"certificate information"));
}

}  // namespace
