#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"
#include "UniqueHandle.h"
#include "cp_CCmdProtocolV2.h"

namespace {

constexpr wchar_t kCommandPipe[] = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";
constexpr wchar_t kFailedLine[] = L"CleanupSampleSubmissionFolder - failed";
constexpr wchar_t kNoManagerLine[] =
    L"cmzel_OutputCommand - init pipe client [Global\\ZelModuleCommandManager] failed! err=[2]";

// A command manager that takes one connection and keeps its bytes.
class CCommandPipeListener {
public:
    ~CCommandPipeListener() { Stop(); }

    bool Start() {
        m_pipe.reset(CreateNamedPipeW(kCommandPipe, PIPE_ACCESS_INBOUND,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                      65536, 0, nullptr));
        m_received.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!m_pipe || !m_received) return false;
        m_thread = std::thread([this] { ReceiveOne(); });
        return true;
    }

    bool WaitForMessage(DWORD timeoutMs) const {
        return WaitForSingleObject(m_received.get(), timeoutMs) == WAIT_OBJECT_0;
    }

    const std::vector<BYTE>& Bytes() const { return m_bytes; }

    // A connection of our own ends a wait that no service satisfied.
    void Stop() {
        if (!m_thread.joinable()) return;
        if (!WaitForMessage(0)) {
            UTIL::unique_handle self(
                CreateFileW(kCommandPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
        m_thread.join();
    }

private:
    void ReceiveOne() {
        const bool connected = ConnectNamedPipe(m_pipe.get(), nullptr) ||
                               GetLastError() == ERROR_PIPE_CONNECTED ||
                               GetLastError() == ERROR_NO_DATA;
        BYTE piece[4096];
        for (;;) {
            DWORD got = 0;
            const BOOL ok = ReadFile(m_pipe.get(), piece, sizeof piece, &got, nullptr);
            m_bytes.insert(m_bytes.end(), piece, piece + got);
            if (!ok && GetLastError() != ERROR_MORE_DATA) break;
        }
        if (connected && !m_bytes.empty()) SetEvent(m_received.get());
    }

    UTIL::unique_handle m_pipe;
    UTIL::unique_handle m_received;
    std::thread m_thread;
    std::vector<BYTE> m_bytes;
};

size_t CountLines(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part,
                  int level) {
    size_t count = 0;
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos && record.Level() == level) ++count;
    return count;
}

// One service run covers both sides: no command manager at first, so the
// first cleanup (at start-up when it falls in the creation's second, else a
// minute later) fails; the next one, a minute on, reaches the manager.
TEST(SampleFolderCleanup, FailsWithoutCommandManagerThenDeliversTheCommandAMinuteLater) {
    ZELTEST::CProductFolder folder(L"cleanup");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    folder.WriteIni(L"stvscan.ini", L"INI_SERVER_SECTION", L"Service_Pending_Time", L"300000");
    folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission", L"SampleFolderCleanupHour",
                    L"0");
    folder.WriteIni(L"Private\\stvZelSvr.ini", L"Sample_Submission", L"SampleFolderCleanupMinute",
                    L"1");
    ZELTEST::CLogPipeListener log;
    ASSERT_TRUE(log.Start());
    ZELTEST::CScmService service(L"stvZelSvr");
    ASSERT_TRUE(service.Install(exe)) << GetLastError();

    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(log.WaitForLine(kFailedLine, 100000));
    const DWORD failedAt = GetTickCount();

    CCommandPipeListener manager;
    ASSERT_TRUE(manager.Start());
    ASSERT_TRUE(manager.WaitForMessage(100000));
    const DWORD interval = GetTickCount() - failedAt;
    EXPECT_GT(interval, 50000u);

    CMsgSerializer message(nullptr, 1);
    ASSERT_NO_THROW(
        message.Load(manager.Bytes().data(), static_cast<DWORD>(manager.Bytes().size())));
    EXPECT_EQ(L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER", message.CommandName());
    EXPECT_TRUE(log.WaitForLine(L"CleanupSampleSubmissionFolder - success"));

    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service.Handle(), &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_TRUE(service.Stop());
    EXPECT_TRUE(log.WaitForLine(L"SendStatusToSCM - CurrentState(1), Win32ExitCode(0)"));
    log.Stop();

    const auto records = log.Records();
    EXPECT_EQ(1u, CountLines(records, kFailedLine, 'I'));
    EXPECT_EQ(1u, CountLines(records, kNoManagerLine, 'E'));
    EXPECT_EQ(1u, CountLines(records, L"CleanupSampleSubmissionFolder - success", 'I'));
}

}  // namespace
