// A plug-in whose cmzel_Initialize answers false: the start goes on without
// a message, the service runs, and the stop still finalises the plug-in.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"

namespace {

bool HasLine(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) return true;
    return false;
}

TEST(PluginInitializeFalse, ServiceRunsAndStopsNormally) {
    ZELTEST::CProductFolder folder(L"initfalse");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(
        folder
            .CopyIn(ZELTEST::WinePathOf(CMDHANDLER_INITFALSE_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
            .empty());
    ZELTEST::CLogPipeListener log;
    ASSERT_TRUE(log.Start());
    ZELTEST::CScmService service(L"stvZelSvr");
    ASSERT_TRUE(service.Install(exe)) << GetLastError();

    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(log.WaitForLine(L"stvZelSvr has started up.", 60000));
    EXPECT_TRUE(log.WaitForLine(L"cmzel_Initialize - answers false"));
    ASSERT_TRUE(service.Control(128));  // still answering
    EXPECT_TRUE(log.WaitForLine(L"Service_Handler - SERVICE_USER_DEFINED_CONTROL: 128"));

    EXPECT_TRUE(service.Stop());
    EXPECT_TRUE(log.WaitForLine(L"SendStatusToSCM - CurrentState(1), Win32ExitCode(0)"));
    log.Stop();
    const auto records = log.Records();
    EXPECT_TRUE(HasLine(records, L"InitService - Succeed to create all threads"));
    EXPECT_TRUE(HasLine(records, L"cmzel_Finalize - called with [] []"));
    EXPECT_FALSE(HasLine(records, L"Fail to initalize Command Handler"));
}

}  // namespace
