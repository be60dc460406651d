#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DiagMain.h"
#include "ServiceRegistration.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "UnixLinks.h"
#include "ScmService.h"

namespace {

constexpr wchar_t kServiceName[] = L"stvZelSvr";

struct DiagRun {
    int exitCode = -1;
    std::wstring out;
    std::wstring err;
};

DiagRun RunInProcess(const std::vector<std::wstring>& args) {
    DiagRun run;
    run.exitCode = ZelDiagMain(
        args, [&run](const std::wstring& text) { run.out += text; },
        [&run](const std::wstring& text) { run.err += text; });
    return run;
}

// zeldiag.exe itself; stdout and stderr together.
DiagRun RunExe(const std::wstring& arguments) {
    DiagRun run;
    const std::wstring outputFile = ZELTEST::TempFilePath(L"zeldiag_output.txt");
    ZELTEST::CChildProcess tool;
    if (!tool.Start(L"\"" + ZELTEST::WinePathOf(ZELDIAG_EXE) + L"\" " + arguments, outputFile))
        return run;
    DWORD code = 0;
    if (tool.WaitForExit(120000) && GetExitCodeProcess(tool.Handle(), &code))
        run.exitCode = static_cast<int>(code);
    const std::string utf8 = ZELTEST::ReadWholeFile(outputFile);
    run.out.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0)));
    if (!run.out.empty())
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &run.out[0],
                            static_cast<int>(run.out.size()));
    DeleteFileW(outputFile.c_str());
    return run;
}

// Clock readings vary from run to run; everything else is compared exactly.
std::wstring WithoutTimes(const std::wstring& text) {
    static const std::wregex time(L"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d(:\\d\\d)?");
    return std::regex_replace(text, time, L"<time>");
}

// The report line of a check ("files KVNotify.dll"), or "<absent>".
std::wstring LineOf(const std::wstring& report, const std::wstring& check) {
    size_t start = 0;
    while (start < report.size()) {
        size_t end = report.find(L'\n', start);
        if (end == std::wstring::npos) end = report.size();
        const std::wstring line = report.substr(start, end - start);
        if (line.size() > 5 && line.compare(5, check.size() + 1, check + L":") == 0) return line;
        start = end + 1;
    }
    return L"<absent>";
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    UTIL::unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!finder) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(finder.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveService() {
    ZELTEST::CScmService leftover(kServiceName);
    if (leftover.Open()) leftover.Remove();
}

// Registers the service as "-install" does, for an executable that is not
// this installation's.
bool RegisterElsewhere(const std::wstring& exe) {
    ZELTEST::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ZELTEST::unique_sc_handle service(
        CreateServiceW(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       (L"\"" + exe + L"\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(L"Sentavo ZEL Web Service Module.")};
    return service &&
           ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
}

// What the failure-actions query answers, as Windows would: the actions, or
// an error (Wine 8 answers 124 and stores nothing to read).
struct ScriptedRecovery {
    DWORD error = ERROR_SUCCESS;
    DWORD resetPeriodSeconds = 0;
    std::vector<SC_ACTION> actions;
} g_recovery;

BOOL WINAPI ScriptedQueryServiceConfig2(SC_HANDLE, DWORD infoLevel, LPBYTE buffer,
                                        DWORD bufferSize, LPDWORD bytesNeeded) {
    if (infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS || g_recovery.error != ERROR_SUCCESS) {
        SetLastError(infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS ? ERROR_INVALID_PARAMETER
                                                                 : g_recovery.error);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(sizeof(SERVICE_FAILURE_ACTIONSW) +
                                            g_recovery.actions.size() * sizeof(SC_ACTION));
    *bytesNeeded = needed;
    if (buffer == nullptr || bufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
    auto* actions = reinterpret_cast<SC_ACTION*>(buffer + sizeof(SERVICE_FAILURE_ACTIONSW));
    *info = {};
    info->dwResetPeriod = g_recovery.resetPeriodSeconds;
    info->cActions = static_cast<DWORD>(g_recovery.actions.size());
    info->lpsaActions = info->cActions != 0 ? actions : nullptr;
    std::copy(g_recovery.actions.begin(), g_recovery.actions.end(), actions);
    return TRUE;
}

// Registers this installation's executable (not started) and scripts the
// failure actions the query gives for it.
void RegisterWithRecovery(const std::wstring& root, ScriptedRecovery recovery) {
    ASSERT_TRUE(RegisterElsewhere(root + L"Bin\\x64\\stvZelSvr.exe"));
    g_recovery = std::move(recovery);
    RegistrationPlatformCalls().queryServiceConfig2 = ScriptedQueryServiceConfig2;
}

constexpr wchar_t kModuleIni[] = L"Private\\stvZelSvr.ini";
constexpr wchar_t kPlugIn[] = L"Bin\\x64\\libCmdHndlrZel.dll";

// A healthy installation laid out as the demo lays it out, with the
// product's files signed by the test maker, Local_Path with its temp
// folders, and a command manager listening. No service is registered.
class CHealthyLayout {
public:
    CHealthyLayout() {
        RemoveService();
        const std::wstring signedDir = ZELTEST::WinePathOf(SIGNED_PRODUCT_DIR);
        m_ready =
            !m_folder.InstallExe(signedDir + L"\\stvZelSvr.exe").empty() &&
            !m_folder.CopyIn(signedDir + L"\\libCmdHndlrZel.dll", kPlugIn).empty() &&
            !m_folder.CopyIn(ZELTEST::WinePathOf(KVNOTIFY_DLL), L"Bin\\x64\\KVNotify.dll")
                 .empty() &&
            m_folder.WriteIni(kModuleIni, L"Sample_Submission", L"SampleFolderCleanupHour", L"2") &&
            m_folder.WriteIni(kModuleIni, L"Sample_Submission", L"SampleFolderCleanupMinute",
                              L"30") &&
            m_folder.WriteIni(L"StUninst.ini", L"WEB_SERVER", L"ServerType", L"2") &&
            ZELTEST::CreateFolders(Root() + L"Local\\TEMP\\SampleSubmission\\Log\\") &&
            m_commandManager.Start();
    }
    ~CHealthyLayout() { RemoveService(); }

    bool Ready() const { return m_ready; }
    const std::wstring& Root() const { return m_folder.Root(); }

    ZELTEST::CProductFolder m_folder{L"diag"};
    std::unique_ptr<ZELTEST::CLocalPathValue> m_localPath =
        std::make_unique<ZELTEST::CLocalPathValue>(m_folder.Root() + L"Local\\");
    ZELTEST::CLogPipeListener m_commandManager{L"Global\\ZelModuleCommandManager"};

private:
    bool m_ready = false;
};

class ZelDiag : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_layout.Ready()); }
    const std::wstring& Root() const { return m_layout.Root(); }

    CHealthyLayout m_layout;
};

TEST_F(ZelDiag, HealthyInstalledServiceIsAllOkInTextAndJson) {
    const std::wstring exe = Root() + L"Bin\\x64\\stvZelSvr.exe";
    ASSERT_TRUE(ZELTEST::RunProcess(L"\"" + exe + L"\" -install").finished);
    ZELTEST::CScmService service(kServiceName);
    ASSERT_TRUE(service.Open());
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service.Handle(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof status, &needed));
    const std::wstring pid = std::to_wstring(status.dwProcessId);
    const std::wstring trusted =
        L"trusted, signer Karvelo, Inc., embedded signature, primary (flags 0x00000001)";
    const std::wstring kept = L"no dumps (DumpMaximumFiles 4, DumpMaxKeepDay 60)";
    const std::vector<std::wstring> lines = {
        L"installation " + Root() + L" (from the service's registration)",
        L"OK   registration: \"" + exe +
            L"\", auto start, own process, normal error control, display name \"stvZelSvr\", "
            L"description \"Sentavo ZEL Web Service Module.\"; running, pid " +
            pid + L", last exit 0 ERROR_SUCCESS",
        // Wine's own answer: it keeps no failure actions to read back.
        L"OK   recovery: the failure actions cannot be read on this system (error 124 "
        L"ERROR_INVALID_LEVEL)",
        L"OK   files stvZelSvr.exe: " + trusted,
        L"OK   files KVNotify.dll: " + trusted,
        L"OK   files libCmdHndlrZel.dll: " + trusted,
        L"OK   settings Private\\stvZelSvr.ini: cleanup every 2 h 30 min, next due about <time> "
        L"(counted from the service's start at <time>)",
        L"OK   settings StUninst.ini: web server Apache (ServerType 2)",
        L"OK   folders: Local_Path " + Root() +
            L"Local plain, TEMP plain, TEMP\\SampleSubmission plain, TEMP\\SampleSubmission\\Log "
            L"plain",
        L"OK   dumps Bin\\x64\\: " + kept,
        L"OK   dumps Bin\\x64\\HBRF\\: " + kept,
        L"OK   dumps Bin\\BM\\LOG\\: " + kept,
        L"OK   peers log server: none listening on Log_ServerNamePipe (the normal state): traces "
        L"are dropped until one runs",
        L"OK   peers command manager: listening on Global\\ZelModuleCommandManager",
    };
    std::wstring expected;
    for (const std::wstring& line : lines) expected += line + L"\n";

    const DiagRun text = RunExe(L"");
    EXPECT_EQ(0, text.exitCode);
    EXPECT_EQ(expected, WithoutTimes(text.out));

    auto json = [](const std::wstring& line) {
        std::wstring escaped;
        for (wchar_t c : line)
            escaped += c == L'\\' || c == L'"' ? std::wstring(L"\\") + c : std::wstring(1, c);
        return escaped;
    };
    std::wstring expectedJson =
        L"{\"installation\":\"" + json(Root()) +
        L"\",\"found_by\":\"registration\",\"status\":\"OK\",\"exit_code\":0,"
        L"\"checks\":[";
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t colon = lines[i].find(L": ");
        expectedJson += std::wstring(i == 1 ? L"" : L",") + L"{\"status\":\"OK\",\"name\":\"" +
                        json(lines[i].substr(5, colon - 5)) + L"\",\"found\":\"" +
                        json(lines[i].substr(colon + 2)) + L"\",\"todo\":\"\"}";
    }
    expectedJson += L"]}\n";
    const DiagRun asJson = RunExe(L"--json");
    EXPECT_EQ(0, asJson.exitCode);
    EXPECT_EQ(expectedJson, WithoutTimes(asJson.out));
}

struct BrokenRow {
    const wchar_t* fault;
    std::function<void(CHealthyLayout&)> breakIt;
    const wchar_t* check;
    std::wstring expected;  // "<root>" stands for the product folder
};

TEST(ZelDiagBroken, EachBrokenInstallationGivesItsLine) {
    const std::wstring elsewhere = L"C:\\zeltest\\elsewhere\\Bin\\x64\\stvZelSvr.exe";
    ZELTEST::CPlantedLinks links;
    const std::vector<BrokenRow> rows = {
        {L"service not installed", [](CHealthyLayout&) {}, L"registration",
         L"FAIL registration: the service stvZelSvr is not installed -> install it as an "
         L"administrator: Bin\\x64\\stvZelSvr.exe -install"},
        {L"image path pointing elsewhere",
         [&](CHealthyLayout&) { ASSERT_TRUE(RegisterElsewhere(elsewhere)); }, L"registration",
         L"FAIL registration: \"" + elsewhere +
             L"\", auto start, own process, normal error control, display name \"stvZelSvr\", "
             L"description \"Sentavo ZEL Web Service Module.\"; stopped, last exit 1077 "
             L"ERROR_SERVICE_NEVER_STARTED; image path is not \"<root>Bin\\x64\\stvZelSvr.exe\" "
             L"-> register it again from this installation: Bin\\x64\\stvZelSvr.exe -uninstall, "
             L"then -install; start it (sc start stvZelSvr); if it stops again, its last exit "
             L"code says why"},
        {L"failure actions as -install sets them",
         [](CHealthyLayout& t) {
             RegisterWithRecovery(t.Root(), {ERROR_SUCCESS, 86400,
                                             {{SC_ACTION_RESTART, 60000},
                                              {SC_ACTION_RESTART, 60000},
                                              {SC_ACTION_NONE, 0}}});
         },
         L"recovery",
         L"OK   recovery: restart after 60 s, restart after 60 s, then nothing; failure count "
         L"reset after 86400 s"},
        {L"no failure actions",
         [](CHealthyLayout& t) { RegisterWithRecovery(t.Root(), {ERROR_SUCCESS, 0, {}}); },
         L"recovery",
         L"WARN recovery: no restart after a crash (failure actions: none set) -> set them as "
         L"-install does (as an administrator): sc failure stvZelSvr reset= 86400 actions= "
         L"restart/60000/restart/60000//0"},
        {L"failure actions the platform cannot give",
         [](CHealthyLayout& t) { RegisterWithRecovery(t.Root(), {ERROR_INVALID_LEVEL, 0, {}}); },
         L"recovery",
         L"OK   recovery: the failure actions cannot be read on this system (error 124 "
         L"ERROR_INVALID_LEVEL)"},
        {L"plug-in missing",
         [](CHealthyLayout& t) { ASSERT_TRUE(DeleteFileW((t.Root() + kPlugIn).c_str())); },
         L"files libCmdHndlrZel.dll",
         L"FAIL files libCmdHndlrZel.dll: missing: <root>Bin\\x64\\libCmdHndlrZel.dll -> "
         L"restore it from the product's installation: the service stops its start with 126 "
         L"(ERROR_MOD_NOT_FOUND)"},
        {L"plug-in tampered after signing",
         [](CHealthyLayout& t) {
             std::string bytes = ZELTEST::ReadWholeFile(t.Root() + kPlugIn);
             ASSERT_GT(bytes.size(), 0x1000u);
             bytes[0x1000] = static_cast<char>(bytes[0x1000] ^ 0x5A);  // in the code
             ASSERT_TRUE(WriteBytes(t.Root() + kPlugIn, bytes));
         },
         L"files libCmdHndlrZel.dll",
         L"FAIL files libCmdHndlrZel.dll: refused: 0x80096010 TRUST_E_BAD_DIGEST, embedded "
         L"signature; no fallback accepted the file (tried: trusted-key list, certificate "
         L"information) (flags 0x00000001) -> replace it with the product's signed file: the "
         L"product refuses this one (zelsigcheck says why)"},
        {L"settings out of range",
         [](CHealthyLayout& t) {
             ASSERT_TRUE(t.m_folder.WriteIni(kModuleIni, L"Sample_Submission",
                                             L"SampleFolderCleanupMinute", L"-45"));
         },
         L"settings Private\\stvZelSvr.ini",
         L"WARN settings Private\\stvZelSvr.ini: SampleFolderCleanupMinute=\"-45\" is negative: "
         L"the service uses -45, so the cleanup is due in every pass (about once a minute); "
         L"cleanup every 2 h -45 min, the first is due one interval after the service starts -> "
         L"set SampleFolderCleanupHour to 0..8760 and SampleFolderCleanupMinute to 0..59 in "
         L"[Sample_Submission], then restart the service"},
        {L"Local_Path missing", [](CHealthyLayout& t) { t.m_localPath.reset(); }, L"folders",
         L"FAIL folders: Local_Path is not set (HKLM\\SOFTWARE\\Karvelo\\Sentavo\\service\\"
         L"Information, 64-bit view): the service creates no temp folders -> set Local_Path to "
         L"the product's local folder and restart the service"},
        {L"more dumps than the retention keeps",
         [](CHealthyLayout& t) {
             for (int day = 1; day <= 5; ++day)
                 ASSERT_TRUE(WriteBytes(
                     t.Root() + L"Bin\\x64\\2026120" + std::to_wstring(day) + L"-101500.dmp",
                     std::string(1 << 20, 'd')));
         },
         L"dumps Bin\\x64\\",
         L"WARN dumps Bin\\x64\\: 5 dump(s), 5 MB, newest <time>, oldest <time> "
         L"(DumpMaximumFiles 4, DumpMaxKeepDay 60); 1 more than DumpMaximumFiles keeps -> the "
         L"service purges them at its next start; look at why it crashed (the dumps) before "
         L"restarting it"},
        {L"dump folder that is a link",
         [&](CHealthyLayout& t) {
             ASSERT_TRUE(CreateDirectoryW((t.Root() + L"other").c_str(), nullptr));
             links.Add(t.Root() + L"other", t.Root() + L"Bin\\x64\\HBRF");
             ASSERT_TRUE(links.Plant());
         },
         L"dumps Bin\\x64\\HBRF\\",
         L"FAIL dumps Bin\\x64\\HBRF\\: not a plain folder (link): the service does not purge it -> "
         L"make it a plain folder: a link there could have the service delete files elsewhere, "
         L"so it refuses to purge through it"},
        {L"no command manager", [](CHealthyLayout& t) { t.m_commandManager.Stop(); },
         L"peers command manager",
         L"WARN peers command manager: none listening on Global\\ZelModuleCommandManager -> "
         L"start the ZEL command manager: until it runs, the sample-folder cleanup cannot be "
         L"delivered"},
    };
    for (const BrokenRow& row : rows) {
        SCOPED_TRACE(row.fault);
        CHealthyLayout layout;
        ASSERT_TRUE(layout.Ready());
        const RegistrationPlatform platform = RegistrationPlatformCalls();
        row.breakIt(layout);
        const DiagRun run = RunInProcess({L"--product", layout.Root()});
        RegistrationPlatformCalls() = platform;
        EXPECT_EQ(1, run.exitCode);
        std::wstring expected = row.expected;
        for (size_t at; (at = expected.find(L"<root>")) != std::wstring::npos;)
            expected.replace(at, 6, layout.Root());
        EXPECT_EQ(expected, WithoutTimes(LineOf(run.out, row.check)));
    }
}

// The product reached through a link above it, as the service accepts it:
// the folders are OK, the dumps counted as the purge counts them (one it
// cannot open is left out), and the bundle copies the settings.
TEST_F(ZelDiag, LinkedProductFolderIsJudgedAsTheServiceJudgesIt) {
    const std::wstring via = L"C:\\zeltest\\diag-via\\";
    ZELTEST::CPlantedLinks links;
    links.Add(Root(), via);
    ASSERT_TRUE(links.Plant());
    m_layout.m_localPath.reset();  // its destructor removes the value
    m_layout.m_localPath = std::make_unique<ZELTEST::CLocalPathValue>(via + L"Local\\");
    for (int day = 1; day <= 5; ++day)
        ASSERT_TRUE(WriteBytes(Root() + L"Bin\\x64\\2026120" + std::to_wstring(day) + L"-101500.dmp",
                               "dump"));
    ASSERT_TRUE(ZELTEST::CreateFolders(Root() + L"Bin\\x64\\HBRF\\"));
    ASSERT_TRUE(WriteBytes(Root() + L"Bin\\x64\\HBRF\\20261201-101500.dmp", "dump"));
    UTIL::unique_handle held(CreateFileW((Root() + L"Bin\\x64\\HBRF\\20261201-101500.dmp").c_str(),
                                         GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    const std::wstring bundle = Root() + L"bundle";
    const DiagRun run = RunInProcess({L"--product", via, L"--bundle", bundle});
    EXPECT_EQ(L"OK   folders: Local_Path " + via +
                  L"Local plain, TEMP plain, TEMP\\SampleSubmission plain, "
                  L"TEMP\\SampleSubmission\\Log plain",
              LineOf(run.out, L"folders"));
    EXPECT_EQ(L"WARN dumps Bin\\x64\\: 5 dump(s), 0 MB, newest <time>, oldest <time> "
              L"(DumpMaximumFiles 4, DumpMaxKeepDay 60); 1 more than DumpMaximumFiles keeps -> the "
              L"service purges them at its next start; look at why it crashed (the dumps) before "
              L"restarting it",
              WithoutTimes(LineOf(run.out, L"dumps Bin\\x64\\")));
    EXPECT_EQ(L"OK   dumps Bin\\x64\\HBRF\\: no dumps (DumpMaximumFiles 4, DumpMaxKeepDay 60)",
              LineOf(run.out, L"dumps Bin\\x64\\HBRF\\"));
    EXPECT_EQ(ZELTEST::ReadWholeFile(Root() + kModuleIni),
              ZELTEST::ReadWholeFile(bundle + L"\\stvZelSvr.ini"));
}

TEST_F(ZelDiag, BundleHoldsExactlyTheListedFilesAndRefusesAnExistingFolder) {
    ASSERT_TRUE(WriteBytes(Root() + L"Bin\\x64\\20261201-101500.dmp", "dump"));
    const std::wstring bundle = Root() + L"bundle";
    const DiagRun run = RunInProcess({L"--product", Root(), L"--bundle", bundle});
    EXPECT_EQ(1, run.exitCode);  // the service is not installed
    EXPECT_EQ(L"", run.err);
    const std::vector<std::wstring> expected = {
        L"StUninst.ini",
        L"dumps.txt",
        L"registry.txt",
        L"report.json",
        L"report.txt",
        L"sigcheck-KVNotify.dll.json",
        L"sigcheck-libCmdHndlrZel.dll.json",
        L"sigcheck-stvZelSvr.exe.json",
        L"stvZelSvr.ini",
    };
    EXPECT_EQ(expected, FilesIn(bundle));
    EXPECT_EQ(ZELTEST::ReadWholeFile(Root() + kModuleIni),
              ZELTEST::ReadWholeFile(bundle + L"\\stvZelSvr.ini"));
    const std::string listed = "C:\\zeltest\\diag\\Bin\\x64\\20261201-101500.dmp\t4 bytes\t";
    EXPECT_EQ(listed, ZELTEST::ReadWholeFile(bundle + L"\\dumps.txt").substr(0, listed.size()));

    const DiagRun again = RunInProcess({L"--product", Root(), L"--bundle", bundle});
    EXPECT_EQ(2, again.exitCode);
    EXPECT_EQ(L"zeldiag: the bundle folder " + bundle + L" exists already: give a new folder\n",
              again.err);
    EXPECT_EQ(L"", again.out);
    EXPECT_EQ(expected, FilesIn(bundle));
}

TEST(ZelDiagArguments, BadArgumentsExitTwoWithAClearLine) {
    RemoveService();
    const struct {
        std::vector<std::wstring> args;
        std::wstring err;
    } rows[] = {
        {{L"--verbose"}, L"zeldiag: unknown argument '--verbose'\nTry 'zeldiag --help'.\n"},
        {{L"--product"}, L"zeldiag: --product needs a folder\nTry 'zeldiag --help'.\n"},
        {{L"--bundle", L"C:\\b", L"--bundle", L"C:\\c"},
         L"zeldiag: --bundle given twice\nTry 'zeldiag --help'.\n"},
        {{L"--product", L"C:\\zeltest\\no-product"},
         L"zeldiag: no installation in C:\\zeltest\\no-product\\: Bin\\x64\\stvZelSvr.exe is not "
         L"there\n"},
        {{},
         L"zeldiag: no installation found: the service stvZelSvr is not installed; give "
         L"--product FOLDER\n"},
    };
    for (const auto& row : rows) {
        const DiagRun run = RunInProcess(row.args);
        EXPECT_EQ(2, run.exitCode) << row.err;
        EXPECT_EQ(row.err, run.err);
        EXPECT_EQ(L"", run.out);
    }
    const DiagRun help = RunInProcess({L"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.find(L"Usage: zeldiag [--product FOLDER] [--json] [--bundle FOLDER]\n"));
}

}  // namespace
