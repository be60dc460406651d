// The service under Wine's Service Control Manager while its peers
// misbehave (zelpeer.exe plays them): the start reaches RUNNING, a stop
// reaches STOPPED, the process ends with 0 and no crash dump, and a healthy
// command manager still gets the cleanup command. One scenario per test, so
// that CTest runs them in lanes side by side.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "ChildProcess.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"
#include "CPipeClient.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kBoundMs = 30000;  // for each of start, cleanup, stop, exit
static_assert(kTracePipeBounds.wholeSendMs == 1000, "take-whole-after-950 is just under the bound");
// What the service promises whatever its log server does.
constexpr double kStartSeconds = 15;
constexpr double kControlSeconds = 2;
constexpr double kStopSeconds = 10;
constexpr wchar_t kInTestListener[] = L"";

struct Scenario {
    const char* name;
    const wchar_t* logMode;      // zelpeer mode; null: no log server; "": the in-test listener
    const wchar_t* commandMode;  // zelpeer mode; null: the companion command manager
    const wchar_t* failedSend;   // start of the cleanup's 'E' line (needs the listener)
    bool failsBeforeStop;        // that line comes before the stop request
    bool console;
};

// The scenario's name stands in the test's name and in CTest's list.
void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

const Scenario kScenarios[] = {
    {"LogServerAbsent", nullptr, nullptr, nullptr, false, false},
    {"LogServerNeverReads64KiB", L"never-read-64k", nullptr, nullptr, false, false},
    {"LogServerClosesAtOnce", L"close-at-once", nullptr, nullptr, false, false},
    {"LogServerNeverReads0Bytes", L"never-read-0", nullptr, nullptr, false, false},
    {"LogServerReadsOneByteASecond", L"one-byte-a-second", nullptr, nullptr, false, false},
    // Just under the 1000 ms per-record bound (kTracePipeBounds): no record
    // misses it, the waiting budget starts the back-off.
    {"LogServerTakesEachRecordJustUnderTheBound", L"take-whole-after-950", nullptr, nullptr, false,
     false},
    {"LogServerHealthyThenStuckInTurn", L"healthy-then-stuck", nullptr, nullptr, false, false},
    // Ended by the stop request (995), or by the write bound (1460) on a slow machine.
    {"CommandManagerNeverReads", kInTestListener, L"never-read-0",
     L"cmzel_OutputCommand - pipe [Global\\ZelModuleCommandManager] send failed!. err=[", false,
     false},
    {"CommandManagerEveryInstanceBusy", kInTestListener, L"all-busy",
     L"cmzel_OutputCommand - init pipe client [Global\\ZelModuleCommandManager] failed! err=[121]",
     true, false},
    {"BothStuck", L"never-read-0", L"never-read-0", nullptr, false, false},
    {"ConsoleLogServerNeverReads", L"never-read-0", nullptr, nullptr, false, true},
};

bool WaitForText(const std::wstring& file, const char* text) {
    const ULONGLONG deadline = GetTickCount64() + kBoundMs;
    while (ZELTEST::ReadWholeFile(file).find(text) == std::string::npos) {
        if (GetTickCount64() > deadline) return false;
        Sleep(200);
    }
    return true;
}

// A file in the temporary folder, deleted when the object goes.
class CTempFile {
public:
    explicit CTempFile(const wchar_t* name) : m_path(ZELTEST::TempFilePath(name)) {}
    ~CTempFile() { DeleteFileW(m_path.c_str()); }
    const std::wstring& Path() const { return m_path; }

private:
    const std::wstring m_path;
};

double SecondsSince(ULONGLONG tick) {
    return static_cast<double>(GetTickCount64() - tick) / 1000;
}

class PeerScenario : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override {
        m_exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
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
        if (s.logMode != nullptr && *s.logMode == L'\0') {
            ASSERT_TRUE(m_log.Start());
        } else if (s.logMode != nullptr) {
            ASSERT_TRUE(Run(m_logPeer, s.logMode, L"Log_ServerNamePipe", m_logPeerOutput, "ready"));
        }
        if (s.commandMode != nullptr) {
            ASSERT_TRUE(Run(m_commandPeer, s.commandMode, L"Global\\ZelModuleCommandManager",
                            m_commandPeerOutput, "ready"));
        } else {
            ASSERT_TRUE(Run(m_manager, nullptr, nullptr, m_managerOutput, "listening"));
        }
    }

    // A peer (zelpeer, or the companion command manager when `mode` is
    // null), up once it printed `ready` (with every instance busy there is
    // no free one to wait for).
    static bool Run(ZELTEST::CChildProcess& peer, const wchar_t* mode, const wchar_t* pipeName,
                    const CTempFile& output, const char* ready) {
        const std::wstring line =
            mode == nullptr
                ? L"\"" + ZELTEST::WinePathOf(CMD_MANAGER_EXE) + L"\""
                : L"\"" + ZELTEST::WinePathOf(ZELPEER_EXE) + L"\" " + mode + L" " + pipeName;
        return peer.Start(line, output.Path()) && WaitForText(output.Path(), ready);
    }

    void ExpectCleanupDelivered() const {
        if (GetParam().commandMode == nullptr) {
            EXPECT_TRUE(
                WaitForText(m_managerOutput.Path(), "CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER"));
        }
    }

    // The process ended with 0 and wrote no crash dump (dumps go to the
    // executable's folder).
    void ExpectEndedCleanly(HANDLE process) const {
        EXPECT_EQ(WaitForSingleObject(process, kBoundMs), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD exitCode = 1;
        EXPECT_TRUE(GetExitCodeProcess(process, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        WIN32_FIND_DATAW found{};
        UTIL::unique_find_handle dump(
            FindFirstFileW((m_folder.Root() + L"Bin\\x64\\*.dmp").c_str(), &found));
        EXPECT_FALSE(dump);
    }

    // Output files, deleted after the processes ended (members go in the
    // reverse order).
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

// Console mode makes its terminate event after a 10-second sleep.
TEST_P(PeerScenario, StartsStopsAndEndsWithinBounds) {
    const Scenario& s = GetParam();
    const ULONGLONG started = GetTickCount64();
    ULONGLONG startFrom = started;
    ZELTEST::CChildProcess console;
    ZELTEST::CScmService service(L"stvZelSvr");
    UTIL::unique_handle process;
    UTIL::unique_handle terminate;
    if (s.console) {
        ASSERT_TRUE(console.Start(L"\"" + m_exe + L"\" -console", L""));
        while (!terminate && GetTickCount64() - started < kBoundMs) {
            Sleep(200);
            terminate.reset(
                OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Karvelo_Sentavo_ZOLM_Stop_Event"));
        }
        ASSERT_TRUE(terminate) << "no terminate event within 30 s";
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), console.Handle(), GetCurrentProcess(),
                                    process.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    } else {
        ASSERT_TRUE(service.Install(m_exe)) << GetLastError();
        startFrom = GetTickCount64();
        service.Start();  // may give up waiting while the service still starts
        ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, kBoundMs));
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.Handle(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<BYTE*>(&status), sizeof status, &needed));
        process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  status.dwProcessId));
        ASSERT_TRUE(process);
    }
    const double startSeconds = SecondsSince(startFrom);
    double controlSeconds = 0;
    if (!s.console) {
        EXPECT_LT(startSeconds, kStartSeconds);
        const ULONGLONG controlled = GetTickCount64();
        EXPECT_TRUE(service.Control(128));  // answered once the handler returned
        controlSeconds = SecondsSince(controlled);
        EXPECT_LT(controlSeconds, kControlSeconds);
    }
    ExpectCleanupDelivered();
    if (s.failsBeforeStop) {
        EXPECT_TRUE(m_log.WaitForLine(s.failedSend, kBoundMs));
    }

    const ULONGLONG stopped = GetTickCount64();
    if (s.console) {
        EXPECT_TRUE(SetEvent(terminate.get()));
    } else {
        EXPECT_TRUE(service.Control(SERVICE_CONTROL_STOP));
        EXPECT_LT(SecondsSince(stopped), kControlSeconds);
        EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, kBoundMs));
    }
    const double stopSeconds = SecondsSince(stopped);
    if (!s.console) {
        EXPECT_LT(stopSeconds, kStopSeconds);
    }
    ExpectEndedCleanly(process.get());
    std::printf(
        "[scenario] %s: %s after %.1f s, control answered in %.1f s, %s %.1f s after "
        "the stop request\n",
        s.name, s.console ? "terminate event" : "RUNNING", startSeconds, controlSeconds,
        s.console ? "ended" : "STOPPED", s.console ? SecondsSince(stopped) : stopSeconds);
    if (s.failedSend != nullptr) {
        EXPECT_TRUE(m_log.WaitForLine(s.failedSend, kBoundMs));
        EXPECT_TRUE(m_log.WaitForLine(L"CleanupSampleSubmissionFolder - failed", kBoundMs));
        for (const auto& record : m_log.Records()) {
            if (record.Line().find(s.failedSend) != std::wstring::npos)
                std::printf("[scenario] %s: %ls\n", s.name, record.Line().c_str());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
