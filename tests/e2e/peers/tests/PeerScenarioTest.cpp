// The service under Wine's Service Control Manager while its peers
// misbehave (zelpeer.exe plays them): whatever the log server and the
// command manager do, the start reaches RUNNING, a stop reaches STOPPED, the
// process ends without a crash, and a healthy command manager still gets the
// cleanup command. One scenario per test, so that CTest runs them in lanes
// side by side.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "ChildProcess.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kBoundMs = 30000;  // for each of start, cleanup, stop, exit
constexpr wchar_t kLogPipeName[] = L"Log_ServerNamePipe";
constexpr wchar_t kCommandPipeName[] = L"Global\\ZelModuleCommandManager";
constexpr wchar_t kCleanupCommand[] = L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER";

// Which peer plays the log server and the command manager.
enum class Log { Absent, Listener, Peer };
enum class Command { Healthy, Peer };

struct Scenario {
    const char* name;
    Log log;
    const wchar_t* logMode;  // zelpeer mode when log == Peer
    Command command;
    const wchar_t* commandMode;  // zelpeer mode when command == Peer
    // The 'E' line of the failed cleanup send (its start), when the log
    // reaches the test; `busyFirst`: it comes before the stop request.
    const wchar_t* failedSend;
    bool busyFirst;
    bool console;
};

// The scenario's name stands in the test's name and in CTest's list.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    {"LogServerAbsent", Log::Absent, nullptr, Command::Healthy, nullptr, nullptr, false, false},
    {"LogServerNeverReads64KiB", Log::Peer, L"never-read-64k", Command::Healthy, nullptr, nullptr,
     false, false},
    {"LogServerClosesAtOnce", Log::Peer, L"close-at-once", Command::Healthy, nullptr, nullptr, false,
     false},
    {"LogServerNeverReads0Bytes", Log::Peer, L"never-read-0", Command::Healthy, nullptr, nullptr,
     false, false},
    {"LogServerReadsOneByteASecond", Log::Peer, L"one-byte-a-second", Command::Healthy, nullptr,
     nullptr, false, false},
    {"CommandManagerNeverReads", Log::Listener, nullptr, Command::Peer, L"never-read-0",
     L"cmzel_OutputCommand - pipe [Global\\ZelModuleCommandManager] send failed!. err=[", false,
     false},
    {"CommandManagerEveryInstanceBusy", Log::Listener, nullptr, Command::Peer, L"all-busy",
     L"cmzel_OutputCommand - init pipe client [Global\\ZelModuleCommandManager] failed! err=[121]",
     true, false},
    {"BothStuck", Log::Peer, L"never-read-0", Command::Peer, L"never-read-0", nullptr, false, false},
    {"ConsoleLogServerNeverReads", Log::Peer, L"never-read-0", Command::Healthy, nullptr, nullptr,
     false, true},
};

bool WaitForText(const std::wstring& file, const std::string& text, DWORD timeoutMs);

// A misbehaving peer on a pipe, up once it said "ready" (with every
// instance busy there is no free one to wait for).
bool StartPeer(ZELTEST::CChildProcess& peer, const wchar_t* mode, const wchar_t* pipeName,
               const std::wstring& output) {
    return peer.Start(L"\"" + ZELTEST::WinePathOf(ZELPEER_EXE) + L"\" " + mode + L" " + pipeName,
                      output) &&
           WaitForText(output, "ready", kBoundMs);
}

bool WaitForText(const std::wstring& file, const std::string& text, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ZELTEST::ReadWholeFile(file).find(text) == std::string::npos) {
        if (GetTickCount64() > deadline) return false;
        Sleep(200);
    }
    return true;
}

// Any crash dump below the product folder.
bool HasDump(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    UTIL::unique_find_handle finder(FindFirstFileW((folder + L"*").c_str(), &found));
    if (!finder) return false;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (HasDump(folder + name + L"\\")) return true;
        } else if (name.size() > 4 && name.substr(name.size() - 4) == L".dmp") {
            return true;
        }
    } while (FindNextFileW(finder.get(), &found));
    return false;
}

double SecondsSince(ULONGLONG tick) { return static_cast<double>(GetTickCount64() - tick) / 1000; }

class PeerScenario : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override {
        m_exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        ASSERT_FALSE(m_exe.empty());
        ASSERT_FALSE(
            m_folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                .empty());
        // A negative interval makes every pass due: the cleanup goes out at
        // the thread's first pass, half a second after the start.
        m_folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission",
                          L"SampleFolderCleanupHour", L"0");
        m_folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission",
                          L"SampleFolderCleanupMinute", L"-1");
        const Scenario& s = GetParam();
        if (s.log == Log::Listener) {
            ASSERT_TRUE(m_log.Start());
        }
        if (s.log == Log::Peer) {
            ASSERT_TRUE(StartPeer(m_logPeer, s.logMode, kLogPipeName, m_logPeerOutput.path));
        }
        if (s.command == Command::Peer) {
            ASSERT_TRUE(
                StartPeer(m_commandPeer, s.commandMode, kCommandPipeName, m_commandPeerOutput.path));
        } else {
            ASSERT_TRUE(m_manager.Start(
                L"\"" + ZELTEST::WinePathOf(CMD_MANAGER_EXE) + L"\"", m_managerOutput.path));
            ASSERT_TRUE(WaitForText(m_managerOutput.path, "listening", kBoundMs));
        }
    }

    // The healthy command manager got the cleanup command.
    void ExpectCleanupDelivered() {
        if (GetParam().command != Command::Healthy) return;
        const std::string command(kCleanupCommand, kCleanupCommand + wcslen(kCleanupCommand));
        EXPECT_TRUE(WaitForText(m_managerOutput.path, command, kBoundMs));
    }

    // Output files of the companions, deleted after the processes ended
    // (members go in the reverse order).
    struct CTempFile {
        explicit CTempFile(const wchar_t* name) : path(ZELTEST::TempFilePath(name)) {}
        ~CTempFile() { DeleteFileW(path.c_str()); }
        const std::wstring path;
    };
    CTempFile m_managerOutput{L"zel_peers_cmdmanager.txt"};
    CTempFile m_logPeerOutput{L"zel_peers_log.txt"};
    CTempFile m_commandPeerOutput{L"zel_peers_command.txt"};
    ZELTEST::CProductFolder m_folder{L"peers"};
    std::wstring m_exe;
    ZELTEST::CLogPipeListener m_log;
    ZELTEST::CChildProcess m_logPeer;
    ZELTEST::CChildProcess m_commandPeer;
    ZELTEST::CChildProcess m_manager;
};

TEST_P(PeerScenario, StartsStopsAndEndsWithinBounds) {
    const Scenario& s = GetParam();
    if (s.console) {
        ZELTEST::CChildProcess console;
        const ULONGLONG started = GetTickCount64();
        ASSERT_TRUE(console.Start(L"\"" + m_exe + L"\" -console", L""));
        // Console mode makes its events after a 10-second sleep.
        UTIL::unique_handle terminate;
        while (!terminate && GetTickCount64() - started < kBoundMs) {
            Sleep(200);
            terminate.reset(
                OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Karvelo_Sentavo_ZOLM_Stop_Event"));
        }
        ASSERT_TRUE(terminate) << "no terminate event within 30 s";
        const double startSeconds = SecondsSince(started);
        ExpectCleanupDelivered();
        const ULONGLONG stopped = GetTickCount64();
        ASSERT_TRUE(SetEvent(terminate.get()));
        EXPECT_TRUE(console.WaitForExit(kBoundMs));
        std::printf("[scenario] %s: terminate event after %.1f s, ended %.1f s after it\n",
                    s.name, startSeconds, SecondsSince(stopped));
        DWORD exitCode = 1;
        EXPECT_TRUE(GetExitCodeProcess(console.Handle(), &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_FALSE(HasDump(m_folder.Root()));
        return;
    }
    ZELTEST::CScmService service(L"stvZelSvr");
    ASSERT_TRUE(service.Install(m_exe)) << GetLastError();
    const ULONGLONG started = GetTickCount64();
    service.Start();  // may give up waiting while the service still starts
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, kBoundMs));
    const double startSeconds = SecondsSince(started);
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service.Handle(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&process), sizeof process, &needed));
    UTIL::unique_handle serviceProcess(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.dwProcessId));
    ASSERT_TRUE(serviceProcess);
    ExpectCleanupDelivered();
    // Every instance busy: the connect gives up at its bound, before the
    // stop. A manager that never reads: the stop comes while the send waits
    // (ended by the stop, or by its write bound on a slow machine).
    if (s.failedSend != nullptr && s.busyFirst) {
        EXPECT_TRUE(m_log.WaitForLine(s.failedSend, kBoundMs));
    }

    const ULONGLONG stopped = GetTickCount64();
    EXPECT_TRUE(service.Control(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, kBoundMs));
    const double stopSeconds = SecondsSince(stopped);
    EXPECT_EQ(WaitForSingleObject(serviceProcess.get(), kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));
    std::printf("[scenario] %s: RUNNING after %.1f s, STOPPED %.1f s after the stop request\n",
                s.name, startSeconds, stopSeconds);
    DWORD exitCode = 1;
    EXPECT_TRUE(GetExitCodeProcess(serviceProcess.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(HasDump(m_folder.Root()));
    if (s.failedSend != nullptr) {
        EXPECT_TRUE(m_log.WaitForLine(s.failedSend, kBoundMs));
        EXPECT_TRUE(m_log.WaitForLine(L"CleanupSampleSubmissionFolder - failed", kBoundMs));
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
