// zelsigcheck.exe as a whole process on the signed test files of the build,
// against Wine's real WinTrust, catalog database and CryptoAPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "SigCheckOptions.h"
#include "SigCheckTestSupport.h"
#include "TestCatalog.h"
#include "UniqueHandle.h"

namespace {

using SIGCHECKTEST::DsFile;
using SIGCHECKTEST::Field;
using SIGCHECKTEST::RunTool;
using SIGCHECKTEST::ToolRun;

struct VerdictCase {
    const wchar_t* arguments;
    const wchar_t* file;
    DWORD exitCode;
    const wchar_t* verdict;
    const wchar_t* result;
    const wchar_t* decidedBy;
    const wchar_t* signer;
    const wchar_t* flags;
};

TEST(zelsigcheck_Exe, EachFileGetsTheManagersVerdictAndTheCheckThatDecided) {
    const VerdictCase cases[] = {
        {L"", L"ds_karvelo.dll", 0, L"trusted", L"0x00000000 ERROR_SUCCESS",
         L"embedded signature, primary", L"Karvelo, Inc.", L"0x00000001"},
        {L"", L"ds_sample.dll", 1, L"refused", L"0x800B0100 TRUST_E_NOSIGNATURE",
         L"embedded signature; no fallback accepted the file (tried: trusted-key list, "
         L"certificate information)",
         L"<absent>", L"0x00000001"},
        {L"", L"ds_tampered.dll", 1, L"refused", L"0x80096010 TRUST_E_BAD_DIGEST",
         L"embedded signature; no fallback accepted the file (tried: trusted-key list, "
         L"certificate information)",
         L"<absent>", L"0x00000001"},
        {L"--signers maker", L"ds_other.dll", 1, L"refused",
         L"0x20001447 ERROR_FAILED_ISSUER_CHECK",
         L"embedded signature; no fallback accepted the file (tried: certificate information)",
         L"Other Signer Ltd (not allowed)", L"0x00000001"},
        {L"--signers 0x0", L"ds_other.dll", 0, L"trusted", L"0x00000000 ERROR_SUCCESS",
         L"embedded signature, primary",
         L"Other Signer Ltd (primary signature; the check traces no name)", L"0x00000000"},
        {L"--signers system --catalog", L"ds_karvelo.dll", 1, L"refused",
         L"0x20001447 ERROR_FAILED_ISSUER_CHECK",
         L"embedded signature; no fallback accepted the file (tried: certificate information, "
         L"catalog)",
         L"Karvelo, Inc. (not allowed)", L"0x00010002"},
    };
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(std::wstring(c.arguments) + L" " + c.file);
        const ToolRun run = RunTool(std::wstring(c.arguments) + L" \"" + DsFile(c.file) + L"\"");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.output.substr(0, run.output.find(L'\n')), DsFile(c.file));
        EXPECT_EQ(Field(run.output, L"verdict"), c.verdict);
        EXPECT_EQ(Field(run.output, L"result"), c.result);
        EXPECT_EQ(Field(run.output, L"decided by"), c.decidedBy);
        EXPECT_EQ(Field(run.output, L"signer"), c.signer);
        EXPECT_EQ(Field(run.output, L"flags"), c.flags);
        EXPECT_EQ(Field(run.output, L"platform"), L"single-sign");
    }
}

TEST(zelsigcheck_Exe, CatalogListedSystemFileIsTrustedByTheCatalogOnlyWithCatalogSwitch) {
    DSTEST::CInstalledCatalog catalog(DsFile(L"zel_cat_system.cat"));
    ASSERT_TRUE(catalog.Added());
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring file = L" \"" + DsFile(L"ds_sample.dll") + L"\"";

    const ToolRun withCatalog = RunTool(L"--catalog" + file);
    ASSERT_TRUE(withCatalog.finished);
    EXPECT_EQ(withCatalog.exitCode, 0u);
    EXPECT_EQ(Field(withCatalog.output, L"verdict"), L"trusted");
    EXPECT_EQ(Field(withCatalog.output, L"result"), L"0x00000000 ERROR_SUCCESS");
    EXPECT_EQ(Field(withCatalog.output, L"decided by"),
              L"catalog " + std::wstring(system) +
                  L"\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}\\"
                  L"zel_test_member.cat (SHA1)");
    EXPECT_EQ(Field(withCatalog.output, L"signer"), L"Microsoft Windows");
    EXPECT_EQ(Field(withCatalog.output, L"flags"), L"0x00010001");

    const ToolRun without = RunTool(file);
    EXPECT_EQ(without.exitCode, 1u);
    EXPECT_EQ(Field(without.output, L"result"), L"0x800B0100 TRUST_E_NOSIGNATURE");
}

TEST(zelsigcheck_Exe, JsonObjectCarriesEveryFieldAndTheManagersTraceLines) {
    const std::wstring path = DsFile(L"ds_other.dll");
    const ToolRun run = RunTool(L"--json --trace \"" + path + L"\"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.output.find(L'\n'), run.output.size() - 1) << "one object, one line";
    SIGCHECKTEST::JsonObject object;
    ASSERT_TRUE(SIGCHECKTEST::ParseJsonObject(run.output, object)) << run.output;

    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"file", path},
        {L"verdict", L"refused"},
        {L"code", L"0x20001447"},
        {L"code_name", L"ERROR_FAILED_ISSUER_CHECK"},
        {L"error", L""},
        {L"decided_by",
         L"embedded signature; no fallback accepted the file (tried: certificate information)"},
        {L"check", L"embedded signature"},
        {L"signature_index", L"0"},
        {L"signer", L"Other Signer Ltd"},
        {L"catalog", L""},
        {L"flags", L"0x00000001"},
        {L"platform", L"single-sign"},
        {L"trusted_keys", L"2"},
    };
    for (const auto& [key, value] : expected) {
        ASSERT_EQ(object.count(key), 1u) << key;
        EXPECT_FALSE(object[key].isArray) << key;
        EXPECT_EQ(object[key].text, value) << key;
    }
    EXPECT_EQ(object[L"fallbacks_tried"].items,
              std::vector<std::wstring>{L"certificate information"});
    const std::vector<std::wstring>& trace = object[L"trace"].items;
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace.front(),
              L"D CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign - >>> try to "
              L"verify file=" +
                  path);
    EXPECT_EQ(trace.back(),
              L"D CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile - <<<");
    EXPECT_EQ(object.size(), expected.size() + 2);
}

TEST(zelsigcheck_Exe, ExitCodeIsTheWorstOfTheFiles) {
    const std::wstring trusted = L" \"" + DsFile(L"ds_karvelo.dll") + L"\"";
    const std::wstring refused = L" \"" + DsFile(L"ds_other.dll") + L"\"";
    const std::wstring missing = L" \"" + DsFile(L"no_such_file.dll") + L"\"";
    const std::pair<std::wstring, DWORD> cases[] = {
        {trusted + trusted, 0},
        {trusted + refused, 1},
        {refused + missing + trusted, 2},
    };
    for (const auto& [arguments, exitCode] : cases) {
        const ToolRun run = RunTool(arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, exitCode) << arguments;
    }
}

// Bad input is not checked: one line with the reason and its code, exit 2.
TEST(zelsigcheck_Exe, BadInputGetsItsOwnLineAndCode) {
    ZELTEST::CProductFolder folder(L"zelsigcheck");
    const std::wstring root = folder.Root();
    ASSERT_TRUE(
        UTIL::unique_handle(::CreateFileW((root + L"empty.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
    ASSERT_TRUE(folder.WriteIni(L"notes.dll", L"section", L"key", L"not an image"));
    ASSERT_FALSE(folder.CopyIn(DsFile(L"ds_karvelo.dll"), L"locked.dll").empty());
    UTIL::unique_handle lock(::CreateFileW((root + L"locked.dll").c_str(), GENERIC_READ, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    ASSERT_TRUE(ZELTEST::CreateFolders(root + L"sub\\"));
    const std::wstring longPath = root + std::wstring(250, L'a') + L".dll";

    const std::pair<std::wstring, std::wstring> cases[] = {
        {root + L"missing.dll", L"file not found (0x00000002 ERROR_FILE_NOT_FOUND); not checked"},
        {root + L"sub", L"a folder, not a file (0x0000010B ERROR_DIRECTORY); not checked"},
        {root + L"bad|name.dll",
         L"not a valid file name (0x0000007B ERROR_INVALID_NAME); not checked"},
        {root + L"empty.dll", L"empty file (0x00000026 ERROR_HANDLE_EOF); not checked"},
        {root + L"notes.dll",
         L"not a PE image (no MZ and PE headers) (0x000000C1 ERROR_BAD_EXE_FORMAT); not checked"},
        {longPath,
         L"path longer than 259 characters (the product's limit) (0x000000CE "
         L"ERROR_FILENAME_EXCED_RANGE); not checked"},
        {root + L"locked.dll",
         L"locked or open for writing by another process (0x00000020 ERROR_SHARING_VIOLATION); "
         L"not checked"},
    };
    for (const auto& [path, error] : cases) {
        SCOPED_TRACE(path);
        const ToolRun run = RunTool(L"\"" + path + L"\"");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2u);
        EXPECT_EQ(run.output, path + L"\n  error:      " + error + L"\n");
    }
}

TEST(zelsigcheck_Exe, UsageErrorsExitWithTwoAndHelpWithZero) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L"no file to check"},
        {L"--signers", L"--signers needs a value: maker, system, all or 0xFLAGS"},
        {L"--signers vendor x.dll",
         L"--signers: 'vendor' is not maker, system, all or a hexadecimal 0xFLAGS (up to 8 "
         L"digits)"},
        {L"--signers 0x123456789 x.dll",
         L"--signers: '0x123456789' is not maker, system, all or a hexadecimal 0xFLAGS (up to 8 "
         L"digits)"},
        {L"--signers maker --signers system x.dll", L"--signers given twice"},
        {L"--verbose x.dll", L"unknown option '--verbose'"},
    };
    for (const auto& [arguments, error] : cases) {
        const ToolRun run = RunTool(arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2u) << arguments;
        EXPECT_EQ(run.output, L"zelsigcheck: " + error + L"\nTry 'zelsigcheck --help'.\n");
    }
    const ToolRun help = RunTool(L"--help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_EQ(help.output, kSigCheckHelp);
}

// The tool reads the manager's lines in its own process: a log server
// running beside it keeps its pipe and still gets every one of them.
TEST(zelsigcheck_Exe, LogServerBesideTheToolStillReceivesEveryTraceLineItShows) {
    ZELTEST::CLogPipeListener logServer;
    ASSERT_TRUE(logServer.Start());
    const ToolRun run = RunTool(L"--json --trace \"" + DsFile(L"ds_karvelo.dll") + L"\"");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    SIGCHECKTEST::JsonObject object;
    ASSERT_TRUE(SIGCHECKTEST::ParseJsonObject(run.output, object)) << run.output;
    const std::vector<std::wstring>& shown = object[L"trace"].items;
    ASSERT_FALSE(shown.empty());
    ASSERT_TRUE(logServer.WaitForLine(shown.back().substr(2)));
    logServer.Stop();

    const std::wstring head = L"[][zelsigcheck.exe]";
    std::vector<std::wstring> received;
    for (const ZELTEST::LogRecord& record : logServer.Records()) {
        if (record.Line().rfind(head, 0) != 0) continue;
        received.push_back(std::wstring(1, static_cast<wchar_t>(record.Level())) + L" " +
                           record.Line().substr(head.size()));
    }
    std::vector<std::wstring> missing;
    for (const std::wstring& line : shown) {
        const auto found = std::find(received.begin(), received.end(), line);
        if (found == received.end()) {
            missing.push_back(line);
        } else {
            received.erase(found);
        }
    }
    EXPECT_EQ(missing, std::vector<std::wstring>{});
}

}  // namespace
