// zelsigcheck in-process, with the platform answering as Windows does where
// Wine 8 does not: the timestamp policy (which Wine always refuses, so the
// nested walk of the certificate check never passes), WTD_HASH_ONLY_FLAG
// (which Wine ignores) and the multiple-sign platform (which Wine lacks).
// Every scripted answer is Wine's real answer for a real signed file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DsTestSupport.h"
#include "SigCheckMain.h"
#include "SigCheckTestSupport.h"

namespace {

using SIGCHECKTEST::DsFile;
using SIGCHECKTEST::Field;

struct InProcessRun {
    int exitCode = -1;
    std::wstring output;
};

InProcessRun RunInProcess(const std::vector<std::wstring>& args) {
    InProcessRun run;
    const auto collect = [&run](const std::wstring& text) { run.output += text; };
    run.exitCode = ZelSigCheckMain(args, collect, collect);
    return run;
}

TEST(zelsigcheck_Platform, MakerSignatureNestedUnderAnotherSignerIsTrustedByTheNestedWalk) {
    DSTEST::Script script;
    script.chainPolicy = DSTEST::PolicyAsOnWindows;
    DSTEST::CScriptedPlatform platform(script);
    const InProcessRun run = RunInProcess({DsFile(L"ds_other_nest_karvelo.dll")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Field(run.output, L"verdict"), L"trusted");
    EXPECT_EQ(Field(run.output, L"result"), L"0x00000000 ERROR_SUCCESS");
    EXPECT_EQ(Field(run.output, L"decided by"), L"certificate information, nested signature 1");
    EXPECT_EQ(Field(run.output, L"signer"), L"Karvelo, Inc.");
    EXPECT_EQ(Field(run.output, L"platform"), L"single-sign");
}

TEST(zelsigcheck_Platform, SecondarySignatureOnAMultipleSignPlatformIsNamedWithItsIndex) {
    DSTEST::Script script;
    script.multipleSignPlatform = true;
    // The primary signature is "Other Signer Ltd"'s, with one secondary
    // signature, which is the maker's.
    script.winVerifyTrust = [](DS::WinTrustDataEx& record) {
        DS::SignatureSettings* settings = record.pSignatureSettings;
        if (settings == nullptr || settings->dwIndex == 0) {
            if (settings != nullptr) settings->cSecondarySigs = 1;
            return DSTEST::VerifyRealFileInto(DsFile(L"ds_other_nest_karvelo.dll"), record);
        }
        return DSTEST::VerifyRealFileInto(DsFile(L"ds_karvelo.dll"), record);
    };
    DSTEST::CScriptedPlatform platform(script);
    const InProcessRun run = RunInProcess({L"--json", DsFile(L"ds_other_nest_karvelo.dll")});
    EXPECT_EQ(run.exitCode, 0);
    SIGCHECKTEST::JsonObject object;
    ASSERT_TRUE(SIGCHECKTEST::ParseJsonObject(run.output, object)) << run.output;
    EXPECT_EQ(object[L"verdict"].text, L"trusted");
    EXPECT_EQ(object[L"decided_by"].text, L"embedded signature, secondary at index 1");
    EXPECT_EQ(object[L"signature_index"].text, L"1");
    EXPECT_EQ(object[L"signer"].text, L"Karvelo, Inc.");
    EXPECT_EQ(object[L"platform"].text, L"multiple-sign");
}

TEST(zelsigcheck_Platform, ExpiredMakerSignatureIsTrustedByTheKeyList) {
    DSTEST::Script script;
    script.winVerifyTrust = DSTEST::VerifyAsOnWindows;
    DSTEST::CScriptedPlatform platform(script);
    const InProcessRun run = RunInProcess({DsFile(L"ds_expired.dll")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Field(run.output, L"verdict"), L"trusted");
    EXPECT_EQ(Field(run.output, L"decided by"), L"trusted-key list, the primary signer's key");
    EXPECT_EQ(Field(run.output, L"signer"),
              L"Karvelo, Inc. (primary signature; the check traces no name)");
    EXPECT_EQ(Field(run.output, L"key list"),
              L"2 key(s) from " + DSTEST::TestFile(L"Korvalis.dll"));
}

}  // namespace
