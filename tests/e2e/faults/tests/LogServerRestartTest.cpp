// The log server killed and started again while the service runs: the
// service keeps running and answering, and its records reach the new server.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"

namespace {

constexpr wchar_t kLogPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

// Polls the companion's UTF-8 log file for a text.
bool WaitForLogFileText(const std::wstring& file, const std::string& part, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (ZELTEST::ReadWholeFile(file).find(part) != std::string::npos) return true;
        Sleep(200);
    } while (GetTickCount64() < deadline);
    return false;
}

DWORD CurrentState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

TEST(LogServerRestart, ServiceKeepsRunningAndItsRecordsReachTheNewLogServer) {
    ZELTEST::CProductFolder folder(L"logrestart");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    folder.WriteIni(L"stvscan.ini", L"INI_SERVER_SECTION", L"Service_Pending_Time", L"300000");

    const std::wstring firstLog = folder.Root() + L"first.log";
    auto firstServer = std::make_unique<ZELTEST::CChildProcess>();
    ASSERT_TRUE(firstServer->Start(L"\"" LOG_SERVER_EXE L"\" --log \"" + firstLog + L"\"", L""));
    ASSERT_TRUE(ZELTEST::WaitForPipe(kLogPipe, 30000));

    ZELTEST::CScmService service(L"stvZelSvr");
    ASSERT_TRUE(service.Install(exe)) << GetLastError();
    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(WaitForLogFileText(firstLog, "stvZelSvr has started up.", 60000));

    // The log server dies: every pipe instance goes with it.
    ASSERT_TRUE(TerminateProcess(firstServer->Handle(), 1));
    ASSERT_TRUE(firstServer->WaitForExit(30000));
    firstServer.reset();

    // Without a log server the handler still answers and the records are
    // dropped.
    ASSERT_TRUE(service.Control(128));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), CurrentState(service.Handle()));

    ZELTEST::CLogPipeListener secondServer;
    ASSERT_TRUE(secondServer.Start());
    ASSERT_TRUE(service.Control(129));
    EXPECT_TRUE(secondServer.WaitForLine(L"Service_Handler - SERVICE_USER_DEFINED_CONTROL: 129"));

    // A stop is answered at once and the whole stop sequence is traced.
    const ULONGLONG stopAsked = GetTickCount64();
    ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP));
    EXPECT_LT(GetTickCount64() - stopAsked, 30000u);
    EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED));
    EXPECT_TRUE(secondServer.WaitForLine(L"terminateService - Server is shutting down..."));
    EXPECT_TRUE(secondServer.WaitForLine(
        L"SendStatusToSCM - CurrentState(1), Win32ExitCode(0), ServiceSpecificExitCode(0)"));
    secondServer.Stop();

    bool lostLineArrived = false;
    for (const auto& record : secondServer.Records())
        if (record.Line().find(L"SERVICE_USER_DEFINED_CONTROL: 128") != std::wstring::npos)
            lostLineArrived = true;
    EXPECT_FALSE(lostLineArrived) << "a record written while no log server ran was kept";
    EXPECT_EQ(std::string::npos,
              ZELTEST::ReadWholeFile(firstLog).find("SERVICE_USER_DEFINED_CONTROL: 129"));
}

}  // namespace
