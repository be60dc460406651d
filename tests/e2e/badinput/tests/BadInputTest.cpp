// The whole executable given input that makes no sense: odd command lines,
// INI values that are empty, text, negative or huge. Each run ends the way
// its mode ends, with its trace lines, and never crashes or hangs.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kDispatcherOutsideScm = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;  // 1063
constexpr DWORD kRunTimeoutMs = 120000;

struct RunResult {
    DWORD processId = 0;
    bool finished = false;
    DWORD exitCode = 0;
};

// Starts a command line and waits for it on a thread of its own, so that
// several dispatcher runs (10 s each under Wine) wait side by side.
class CProcessRun {
public:
    explicit CProcessRun(const std::wstring& commandLine) {
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, L"C:\\",
                              &startup, &info)) {
            return;
        }
        m_process.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        m_run.processId = info.dwProcessId;
    }
    bool Started() const { return static_cast<bool>(m_process); }
    HANDLE Handle() const { return m_process.get(); }
    // Waits for the end (killing the process after the time-out).
    RunResult Wait() {
        if (!m_process) return m_run;
        if (::WaitForSingleObject(m_process.get(), kRunTimeoutMs) != WAIT_OBJECT_0) {
            ::TerminateProcess(m_process.get(), 1);
            ::WaitForSingleObject(m_process.get(), INFINITE);
            return m_run;
        }
        m_run.finished = true;
        ::GetExitCodeProcess(m_process.get(), &m_run.exitCode);
        return m_run;
    }

private:
    UTIL::unique_handle m_process;
    RunResult m_run;
};

std::vector<std::wstring> LinesOf(const std::vector<ZELTEST::LogRecord>& records, DWORD pid) {
    std::vector<std::wstring> lines;
    for (const ZELTEST::LogRecord& record : records) {
        if (record.Field(2) == std::to_wstring(pid)) lines.push_back(record.Line());
    }
    return lines;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t CountEndingWith(const std::vector<std::wstring>& lines, const std::wstring& tail) {
    size_t count = 0;
    for (const std::wstring& line : lines) count += EndsWith(line, tail) ? 1 : 0;
    return count;
}

std::string Dump(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const std::wstring& line : lines) {
        for (wchar_t c : line) text += c < 128 ? static_cast<char>(c) : '?';
        text += '\n';
    }
    return text;
}

bool ServiceInstalled() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = ::OpenServiceW(manager, L"stvZelSvr", SERVICE_QUERY_STATUS);
    const bool installed = service != nullptr;
    if (service) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return installed;
}

struct OddRun {
    const wchar_t* arguments;   // as typed after the executable
    const char* traced;         // argv[1] as "cmd(%s)" shows it
    const wchar_t* serverType;  // "ServerType" text in StUninst.ini
};

// Only an exact "-console", "-install" or "-uninstall" as the single argument
// selects a mode: everything else goes to the dispatcher, which fails
// outside the Service Control Manager. "ServerType" is whatever the
// platform's integer read makes of the text; only 2 and 3 mean Apache.
TEST(BadInputCommandLine, OddArgumentsAndServerTypesEndInTheDispatcher) {
    ASSERT_FALSE(ServiceInstalled()) << "a service of an earlier test is still installed";
    const OddRun runs[] = {
        {L" -INSTALL", "-INSTALL", L"-3"},
        {L" -install extra", "-install", L"abc"},
        {L" \"\"", "", L""},
        {L" --console", "--console", L"99999999999"},
        {L" -uninstall -uninstall", "-uninstall", L"3junk"},
        {L" -Uninstall", "-Uninstall", L"0x2"},
    };
    constexpr size_t kRuns = sizeof(runs) / sizeof(runs[0]);
    std::vector<std::unique_ptr<ZELTEST::CProductFolder>> folders;
    std::vector<std::unique_ptr<CProcessRun>> processes;
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    for (size_t i = 0; i < kRuns; ++i) {
        folders.push_back(std::make_unique<ZELTEST::CProductFolder>(
            (L"badinput_args" + std::to_wstring(i)).c_str()));
        const std::wstring exe = folders[i]->InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        ASSERT_FALSE(exe.empty());
        ASSERT_TRUE(folders[i]->WriteIni(L"StUninst.ini", L"WEB_SERVER", L"ServerType",
                                         runs[i].serverType));
        processes.push_back(std::make_unique<CProcessRun>(L"\"" + exe + L"\"" + runs[i].arguments));
        ASSERT_TRUE(processes[i]->Started());
    }
    std::vector<RunResult> results(kRuns);
    std::vector<std::thread> waits;
    for (size_t i = 0; i < kRuns; ++i)
        waits.emplace_back([&results, &processes, i] { results[i] = processes[i]->Wait(); });
    for (std::thread& wait : waits) wait.join();
    ASSERT_TRUE(listener.WaitForCount(1));
    listener.Stop();
    const auto records = listener.Records();

    for (size_t i = 0; i < kRuns; ++i) {
        SCOPED_TRACE(runs[i].traced);
        ASSERT_TRUE(results[i].finished);
        EXPECT_EQ(results[i].exitCode, kDispatcherOutsideScm);
        const std::vector<std::wstring> lines = LinesOf(records, results[i].processId);
        const std::string traced = runs[i].traced;
        EXPECT_EQ(1u, CountEndingWith(lines, L"main - cmd(" +
                                                 std::wstring(traced.begin(), traced.end()) + L")"))
            << Dump(lines);
        EXPECT_EQ(1u, CountEndingWith(lines, L"main - StartServiceCtrlDispatcher failed."))
            << Dump(lines);
        const std::wstring ini = folders[i]->Root() + L"StUninst.ini";
        const int value =
            static_cast<int>(GetPrivateProfileIntW(L"WEB_SERVER", L"ServerType", 0, ini.c_str()));
        const std::wstring kind = value == 2 || value == 3 ? L"Apache" : L"IIS";
        EXPECT_EQ(1u, CountEndingWith(lines, L"main - Running with " + kind + L" (" +
                                                 std::to_wstring(value) + L")"))
            << Dump(lines);
    }
    EXPECT_FALSE(ServiceInstalled());
}

// Every setting of the service at once with a value that makes no sense:
// the console run starts up, sends a cleanup in its first pass (a negative
// interval is always due; none listens, so it fails), and stops on its
// event with exit code 0. Huge intervals are the unit tests' part: a run
// cannot wait for them.
TEST(BadInputSettings, ConsoleRunWithNonsenseSettingsStartsAndStops) {
    ZELTEST::CProductFolder folder(L"badinput_settings");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    ASSERT_TRUE(folder.WriteIni(L"stvscan.ini", L"INI_SERVER_SECTION", L"Service_Pending_Time",
                                L"99999999999999"));
    ASSERT_TRUE(folder.WriteIni(L"Private\\stvZelSvr.ini", L"ZOLM", L"Mode", L"abc"));
    ASSERT_TRUE(folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission",
                                L"SampleFolderCleanupHour", L"-1"));
    ASSERT_TRUE(folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission",
                                L"SampleFolderCleanupMinute", L"-5"));
    ASSERT_TRUE(folder.WriteIni(L"StUninst.ini", L"WEB_SERVER", L"ServerType", L""));

    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    CProcessRun process(L"\"" + exe + L"\" -console");
    ASSERT_TRUE(process.Started());
    // Console mode sleeps 10 s before it starts up.
    ASSERT_TRUE(listener.WaitForLine(L"stvZelSvr has started up.", 60000));
    ASSERT_TRUE(listener.WaitForLine(L"CleanupSampleSubmissionFolder - failed", 60000));
    UTIL::unique_handle terminate(
        ::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Karvelo_Sentavo_ZOLM_Stop_Event"));
    ASSERT_TRUE(terminate);
    ::SetEvent(terminate.get());
    const RunResult result = process.Wait();
    listener.Stop();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<std::wstring> lines = LinesOf(listener.Records(), result.processId);
    EXPECT_EQ(1u, CountEndingWith(lines, L"main - Running with IIS (0)")) << Dump(lines);
    // "Mode" is not 101: the product key is not read, no folder is made.
    EXPECT_EQ(1u,
              CountEndingWith(lines, L"CreateTempFolder - <<< due to RegQueryValueEx() failure"))
        << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"terminateService - Server is shutting down..."))
        << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"CleanupSampleSubmissionFolder - failed")) << Dump(lines);
}

// A product folder name below C:\zeltest\ that makes the folder `chars`
// characters long (without its closing backslash), in segments that every
// file system takes.
std::wstring LongName(const wchar_t* tag, size_t chars) {
    const size_t prefix = wcslen(L"C:\\zeltest\\");
    std::wstring name = tag;
    while (prefix + name.size() < chars) {
        const size_t room = chars - prefix - name.size();
        if (room >= 2)
            name += L'\\' + std::wstring(std::min<size_t>(room - 1, 100), L'p');
        else
            name += L'p';
    }
    return name;
}

// Removes the whole tree below C:\\zeltest\\<tag>\\ when it goes: the product
// folder removes only itself, not the long chain of folders above it.
class CTreeRemover {
public:
    explicit CTreeRemover(const wchar_t* tag) : m_folder(L"C:\\zeltest\\" + std::wstring(tag)) {}
    ~CTreeRemover() { ZELTEST::RemoveTree(m_folder); }
    CTreeRemover(const CTreeRemover&) = delete;
    CTreeRemover& operator=(const CTreeRemover&) = delete;

private:
    std::wstring m_folder;
};

// The longest executable path that CreateProcessW starts is 259 characters:
// its folder then has 245 and the product folder 237. The product folder and
// its INI paths still fit their buffers; the plug-in's path (264 characters)
// does not. Cut to the buffer it became "...\\libCmdHndlrZe", and
// LoadLibraryW loaded "libCmdHndlrZe.dll" instead. Now a path that does not
// fit is refused: the start fails without loading anything.
TEST(BadInputPaths, LongestStartablePathRefusesThePathsThatDoNotFit) {
    const size_t productChars = 259 - wcslen(L"\\Bin\\x64\\stvZelSvr.exe");
    const CTreeRemover cleanup(L"lpath");
    ZELTEST::CProductFolder folder(LongName(L"lpath", productChars).c_str());
    ASSERT_EQ(folder.Root().size(), productChars + 1);
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_EQ(exe.size(), 259u);
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    ASSERT_FALSE(
        folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZe.dll").empty());
    ASSERT_TRUE(folder.WriteIni(L"StUninst.ini", L"WEB_SERVER", L"ServerType", L"2"));
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    CProcessRun process(L"\"" + exe + L"\" -console");
    ASSERT_TRUE(process.Started()) << GetLastError();
    const RunResult result = process.Wait();
    listener.Stop();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<std::wstring> lines = LinesOf(listener.Records(), result.processId);
    // One lookup before each of the six paths the entry point builds.
    EXPECT_EQ(6u, CountEndingWith(lines, L"getWorkingDirectory - Working Dir = " + folder.Root()))
        << Dump(lines);
    for (const std::wstring& line : lines)
        EXPECT_EQ(line.find(L"Path too long"), std::wstring::npos) << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"main - Running with Apache (2)")) << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"InitCmdZelHandler - <<< ubale to load ")) << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"InitService - Fail to initalize Command Handler"))
        << Dump(lines);
    for (const std::wstring& line : lines)
        EXPECT_EQ(line.find(L"cmzel_Initialize"), std::wstring::npos) << Dump(lines);
    EXPECT_EQ(1u, CountEndingWith(lines, L"terminateService - Server is shutting down..."))
        << Dump(lines);
}

// Executable or product folders of 259 to 261 characters give executable
// paths beyond 259 characters, which CreateProcessW (and so the Service
// Control Manager) does not start under Wine. The service code treats a
// module path that does not fit as having no product folder; this test
// makes sure the paths still cannot be started, so that the gap shows if
// that ever changes.
TEST(BadInputPaths, FoldersOf259To261CharactersCannotBeStarted) {
    const CTreeRemover cleanup(L"lfold");
    for (const size_t chars : {259u, 260u, 261u}) {
        for (const bool exeFolder : {true, false}) {
            const size_t productChars = exeFolder ? chars - wcslen(L"\\Bin\\x64") : chars;
            ZELTEST::CProductFolder folder(LongName(L"lfold", productChars).c_str());
            const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
            ASSERT_FALSE(exe.empty()) << chars;
            CProcessRun process(L"\"" + exe + L"\" -console");
            EXPECT_FALSE(process.Started()) << chars << (exeFolder ? " exe folder" : " product");
            if (process.Started()) {
                ::TerminateProcess(process.Handle(), 1);
                process.Wait();
            }
        }
    }
}

}  // namespace
