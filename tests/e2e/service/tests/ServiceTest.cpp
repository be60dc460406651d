#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kServiceName[] = L"stvZelSvr";

std::wstring Status(int state, int exitCode, int checkPoint, int waitHint) {
    return L"SendStatusToSCM - CurrentState(" + std::to_wstring(state) + L"), Win32ExitCode(" +
           std::to_wstring(exitCode) + L"), ServiceSpecificExitCode(0), CheckPoint(" +
           std::to_wstring(checkPoint) + L"), WaitHint(" + std::to_wstring(waitHint) + L")";
}

// Status lines in arrival order, without the record prefix.
std::vector<std::wstring> StatusLines(const std::vector<ZELTEST::LogRecord>& records) {
    std::vector<std::wstring> lines;
    for (const auto& record : records) {
        const size_t at = record.Line().find(L"SendStatusToSCM - ");
        if (at != std::wstring::npos) lines.push_back(record.Line().substr(at));
    }
    return lines;
}

bool HasLine(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) return true;
    return false;
}

// Installs the product's executable as the service "stvZelSvr" for one
// test and removes it again.
class ServiceUnderScm : public ::testing::Test {
protected:
    void Install(const char* pluginDll) {
        const std::wstring exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        ASSERT_FALSE(exe.empty());
        if (pluginDll) {
            ASSERT_FALSE(
                m_folder.CopyIn(ZELTEST::WinePathOf(pluginDll), L"Bin\\x64\\libCmdHndlrZel.dll")
                    .empty());
        }
        m_folder.WriteIni(L"stvscan.ini", L"INI_SERVER_SECTION", L"Service_Pending_Time",
                          L"300000");
        ASSERT_TRUE(m_scmService.Install(exe)) << GetLastError();
        ASSERT_TRUE(m_listener.Start());
    }

    void TearDown() override {
        m_scmService.Remove();
        m_listener.Stop();
    }

    void StartAndWaitRunning() {
        ASSERT_TRUE(m_scmService.Start()) << GetLastError();
        ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    }

    void StopAndWaitStopped() { ASSERT_TRUE(m_scmService.Stop()); }

    bool WaitForState(DWORD state) { return m_scmService.WaitForState(state); }

    ZELTEST::CProductFolder m_folder{L"service"};
    ZELTEST::CLogPipeListener m_listener;
    ZELTEST::CScmService m_scmService{kServiceName};
};

TEST_F(ServiceUnderScm, StartReportsEveryStepAndStopReportsStoppedOnce) {
    Install(CMDHANDLER_DLL);
    ASSERT_TRUE(m_scmService.Start()) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"stvZelSvr has started up.", 60000));
    EXPECT_TRUE(m_listener.WaitForLine(L"cmzel_Initialize - called with [] [] (null)"));

    ASSERT_TRUE(m_scmService.Control(128));
    EXPECT_TRUE(m_listener.WaitForLine(L"Service_Handler - SERVICE_USER_DEFINED_CONTROL: 128"));

    ASSERT_TRUE(m_scmService.Stop());
    EXPECT_TRUE(m_listener.WaitForLine(Status(SERVICE_STOPPED, 0, 0, 0)));
    m_listener.Stop();

    const auto records = m_listener.Records();
    // Stop hints: the bounds of each step (docs/peer-bounds.md), not the
    // pending time.
    const std::vector<std::wstring> expected = {
        Status(2, 0, 1, 2000),   Status(2, 0, 2, 2000),   Status(2, 0, 3, 2000),
        Status(2, 0, 5, 300000), Status(2, 0, 6, 300000), Status(2, 0, 7, 300000),
        Status(2, 0, 8, 300000), Status(2, 0, 9, 300000), Status(4, 0, 0, 0),
        Status(4, 0, 0, 0),      Status(3, 0, 1, 7000),   Status(3, 0, 1, 6000),
        Status(3, 0, 2, 6000),   Status(3, 0, 3, 16000),  Status(3, 0, 4, 6000),
        Status(1, 0, 0, 0)};
    EXPECT_EQ(expected, StatusLines(records));
    EXPECT_TRUE(HasLine(records, L"cmzel_Finalize - called with [] []"));
    EXPECT_TRUE(HasLine(records, L"InitService - Succeed to create all threads"));
}

TEST_F(ServiceUnderScm, PluginWithoutProcessEntryFailsTheStart) {
    Install(CMDHANDLER_NOPROCESS_DLL);
    ASSERT_TRUE(m_scmService.Start()) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"InitService - Fail to initalize Command Handler", 60000));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    m_listener.Stop();
    // The failed look-up of cmzel_Process leaves ERROR_PROC_NOT_FOUND.
    const auto lines = StatusLines(m_listener.Records());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), Status(SERVICE_STOPPED, ERROR_PROC_NOT_FOUND, 0, 0));
    EXPECT_TRUE(HasLine(m_listener.Records(),
                        L"terminateService - Starting to shut down service..., parameter: 127"));
    EXPECT_FALSE(HasLine(m_listener.Records(), L"stvZelSvr has started up."));
}

TEST_F(ServiceUnderScm, MissingPluginFailsTheStart) {
    Install(nullptr);
    ASSERT_TRUE(m_scmService.Start()) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"InitService - Fail to initalize Command Handler", 60000));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    m_listener.Stop();
    EXPECT_TRUE(HasLine(m_listener.Records(), L"ubale to load"));
    // The failed load leaves ERROR_MOD_NOT_FOUND.
    const auto lines = StatusLines(m_listener.Records());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), Status(SERVICE_STOPPED, ERROR_MOD_NOT_FOUND, 0, 0));
    EXPECT_TRUE(HasLine(m_listener.Records(),
                        L"terminateService - Starting to shut down service..., parameter: 126"));
}

size_t CountLines(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    size_t count = 0;
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) ++count;
    return count;
}

// Whatever someone put first on the service's event names, the service
// starts with an event of its own, says so in one 'E' line, and the SCM's
// stop still works. A signalled event made without a security descriptor
// (under Wine it shows no owner at all) would stop the service at once if
// it were adopted.
TEST_F(ServiceUnderScm, ObjectsPlantedOnTheEventNamesDoNotKeepTheServiceFromRunning) {
    struct Case {
        const char* what;
        bool mutex;  // else a signalled event
        const wchar_t* name;
        const wchar_t* reason;
    };
    const Case cases[] = {
        {"mutex on the stop event", true, L"Karvelo_Sentavo_ZOLM_Stop_Event",
         L"the name is held by an object of another type [6]"},
        {"foreign signalled stop event", false, L"Karvelo_Sentavo_ZOLM_Stop_Event",
         L"owned by unknown, not SYSTEM or Administrators"},
        {"mutex on the shutdown event", true, L"Karvelo_Sentavo_ZOLM_Shutdown_Event",
         L"the name is held by an object of another type [6]"},
    };
    Install(CMDHANDLER_DLL);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UTIL::unique_handle planted(c.mutex ? CreateMutexW(nullptr, FALSE, c.name)
                                            : CreateEventW(nullptr, TRUE, TRUE, c.name));
        ASSERT_TRUE(planted);
        const size_t before = m_listener.Records().size();
        StartAndWaitRunning();
        StopAndWaitStopped();
        EXPECT_TRUE(m_listener.WaitForLine(Status(SERVICE_STOPPED, 0, 0, 0)));
        const auto records = m_listener.Records();
        const std::vector<ZELTEST::LogRecord> run(records.begin() + before, records.end());
        const std::wstring line = std::wstring(L"[ZEL_SVR][stvZelSvr.exe]Service_Main - Event ") +
                                  c.name + L" not adopted: " + c.reason +
                                  L"; the service uses an event of its own that no other "
                                  L"process can open.";
        size_t found = 0;
        for (const auto& record : run) {
            if (record.Line() != line) continue;
            ++found;
            EXPECT_EQ(record.Level(), 'E');
        }
        EXPECT_EQ(found, 1u);
        EXPECT_EQ(CountLines(run, L"stvZelSvr has started up."), 1u);
    }
}

bool FolderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(ServiceUnderScm, TemporaryFoldersAreCreatedOnceUnderLocalPath) {
    Install(CMDHANDLER_DLL);
    const std::wstring local = m_folder.Root() + L"Local\\";
    ASSERT_TRUE(CreateDirectoryW(local.c_str(), nullptr));
    ZELTEST::CLocalPathValue value(local);
    StartAndWaitRunning();
    StopAndWaitStopped();
    EXPECT_TRUE(FolderExists(local + L"TEMP\\SampleSubmission\\Log"));
    EXPECT_EQ(3u, CountLines(m_listener.Records(), L"CreateTempFolder - Create Dir("));
    EXPECT_TRUE(
        HasLine(m_listener.Records(), L"Create Dir(" + local + L"TEMP\\SampleSubmission\\Log)."));

    const size_t before = m_listener.Records().size();
    StartAndWaitRunning();
    StopAndWaitStopped();
    const auto records = m_listener.Records();
    const std::vector<ZELTEST::LogRecord> second(records.begin() + before, records.end());
    EXPECT_EQ(0u, CountLines(second, L"CreateTempFolder - Create Dir("));
}

TEST_F(ServiceUnderScm, ModeOtherThan101CreatesNoFolder) {
    Install(CMDHANDLER_DLL);
    m_folder.WriteIni(L"Private\\stvZelSvr.ini", L"ZOLM", L"Mode", L"5");
    const std::wstring local = m_folder.Root() + L"Local\\";
    ASSERT_TRUE(CreateDirectoryW(local.c_str(), nullptr));
    ZELTEST::CLocalPathValue value(local);
    StartAndWaitRunning();
    StopAndWaitStopped();
    EXPECT_FALSE(FolderExists(local + L"TEMP"));
    EXPECT_EQ(0u, CountLines(m_listener.Records(), L"CreateTempFolder - Create Dir("));
}

TEST(ServiceConsole, RunsUntilTheNamedTerminateEventAndReportsNothing) {
    ZELTEST::CProductFolder folder(L"console");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    // The notifier records its events in this file (Wine's event log cannot
    // be read back); the service inherits the variable.
    const std::wstring events = folder.Root() + L"events.txt";
    ASSERT_TRUE(SetEnvironmentVariableW(L"KVNOTIFY_EVENT_RECORD_FILE", events.c_str()));
    // The plug-in loads a library by bare name from the current folder and
    // one from the executable's: only the executable's folder is searched.
    const std::wstring currentFolder = folder.Root() + L"cwd\\";
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"cwd\\zelcwdprobe.dll").empty());
    ASSERT_FALSE(
        folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\zelexeprobe.dll").empty());
    ASSERT_TRUE(SetEnvironmentVariableW(L"CMZEL_BARE_LOAD_PROBES", L"zelcwdprobe.dll;zelexeprobe.dll"));
    std::wstring commandLine = L"\"" + exe + L"\" -console";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, currentFolder.c_str(), &startup, &process);
    SetEnvironmentVariableW(L"KVNOTIFY_EVENT_RECORD_FILE", nullptr);
    SetEnvironmentVariableW(L"CMZEL_BARE_LOAD_PROBES", nullptr);
    ASSERT_TRUE(created);
    UTIL::unique_handle processHandle(process.hProcess);
    UTIL::unique_handle threadHandle(process.hThread);
    // Console mode sleeps 10 s before it starts up.
    ASSERT_TRUE(listener.WaitForLine(L"stvZelSvr has started up.", 60000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(processHandle.get(), 500));
    UTIL::unique_handle terminate(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Karvelo_Sentavo_ZOLM_Stop_Event"));
    ASSERT_TRUE(terminate);
    SetEvent(terminate.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(processHandle.get(), 60000));
    DWORD exitCode = 1;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
    listener.Stop();
    EXPECT_TRUE(HasLine(listener.Records(), L"Service_Main - Console mode!"));
    EXPECT_TRUE(HasLine(listener.Records(), L"terminateService - Server is shutting down..."));
    EXPECT_TRUE(StatusLines(listener.Records()).empty());
    EXPECT_TRUE(HasLine(listener.Records(),
                        L"cmzel_Initialize - bare-name load of zelcwdprobe.dll: 126"));
    EXPECT_TRUE(HasLine(listener.Records(), L"cmzel_Initialize - bare-name load of zelexeprobe.dll: 0"));
    // Once it ran, the service called the notifier's ordinal 400 once, with
    // its text and 0 (an information event).
    EXPECT_EQ(ZELTEST::ReadWholeFile(events),
              "stvZelSvr\t4\t0\t00000190\tKarvelo Tessaly ZEL Server\n");
}

}  // namespace
