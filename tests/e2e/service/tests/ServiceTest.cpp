#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kServiceName[] = L"stvZelSvr";

struct ScHandleCloser {
    void operator()(SC_HANDLE h) const
    {
        if (h)
            CloseServiceHandle(h);
    }
};
using unique_sc_handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

std::wstring Status(int state, int exitCode, int checkPoint, int waitHint)
{
    return L"SendStatusToSCM - CurrentState(" + std::to_wstring(state) + L"), Win32ExitCode(" +
           std::to_wstring(exitCode) + L"), ServiceSpecificExitCode(0), CheckPoint(" +
           std::to_wstring(checkPoint) + L"), WaitHint(" + std::to_wstring(waitHint) + L")";
}

// Status lines in arrival order, without the record prefix.
std::vector<std::wstring> StatusLines(const std::vector<ZELTEST::LogRecord>& records)
{
    std::vector<std::wstring> lines;
    for (const auto& record : records) {
        const size_t at = record.Line().find(L"SendStatusToSCM - ");
        if (at != std::wstring::npos)
            lines.push_back(record.Line().substr(at));
    }
    return lines;
}

bool HasLine(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part)
{
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos)
            return true;
    return false;
}

// Installs the product's executable as the service "stvZelSvr" for one
// test and removes it again.
class ServiceUnderScm : public ::testing::Test {
protected:
    void Install(const char* pluginDll)
    {
        const std::wstring exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        ASSERT_FALSE(exe.empty());
        if (pluginDll) {
            ASSERT_FALSE(m_folder.CopyIn(ZELTEST::WinePathOf(pluginDll),
                                         L"Bin\\x64\\libCmdHndlrZel.dll")
                             .empty());
        }
        m_folder.WriteIni(L"stvscan.ini", L"INI_SERVER_SECTION", L"Service_Pending_Time",
                          L"300000");
        m_scm.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_scm);
        RemoveLeftover();
        m_service.reset(CreateServiceW(m_scm.get(), kServiceName, kServiceName,
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       (L"\"" + exe + L"\"").c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr));
        ASSERT_TRUE(m_service) << GetLastError();
        ASSERT_TRUE(m_listener.Start());
    }

    void TearDown() override
    {
        if (m_service) {
            SERVICE_STATUS status{};
            ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED);
            DeleteService(m_service.get());
        }
        m_listener.Stop();
    }

    void RemoveLeftover()
    {
        unique_sc_handle old(OpenServiceW(m_scm.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (old) {
            SERVICE_STATUS status{};
            ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
            DeleteService(old.get());
        }
    }

    bool WaitForState(DWORD state, DWORD timeoutMs = 60000)
    {
        for (DWORD waited = 0; waited < timeoutMs; waited += 200) {
            SERVICE_STATUS status{};
            if (QueryServiceStatus(m_service.get(), &status) && status.dwCurrentState == state)
                return true;
            Sleep(200);
        }
        return false;
    }

    ZELTEST::CProductFolder m_folder{L"service"};
    ZELTEST::CLogPipeListener m_listener;
    unique_sc_handle m_scm;
    unique_sc_handle m_service;
};

TEST_F(ServiceUnderScm, StartReportsEveryStepAndStopReportsStoppedOnce)
{
    Install(CMDHANDLER_DLL);
    ASSERT_TRUE(StartServiceW(m_service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"stvZelSvr has started up.", 60000));
    EXPECT_TRUE(m_listener.WaitForLine(L"cmzel_Initialize - called with [] [] (null)"));

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(m_service.get(), 128, &status));
    EXPECT_TRUE(m_listener.WaitForLine(L"Service_Handler - SERVICE_USER_DEFINED_CONTROL: 128"));

    ASSERT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_TRUE(m_listener.WaitForLine(Status(SERVICE_STOPPED, 0, 0, 0)));
    m_listener.Stop();

    const auto records = m_listener.Records();
    const std::vector<std::wstring> expected = {
        Status(2, 0, 1, 2000),   Status(2, 0, 2, 2000),   Status(2, 0, 3, 2000),
        Status(2, 0, 5, 300000), Status(2, 0, 6, 300000), Status(2, 0, 7, 300000),
        Status(2, 0, 8, 300000), Status(2, 0, 9, 300000), Status(4, 0, 0, 0),
        Status(4, 0, 0, 0),      Status(3, 0, 1, 5000),   Status(3, 0, 1, 300000),
        Status(3, 0, 2, 300000), Status(3, 0, 3, 300000), Status(3, 0, 4, 300000),
        Status(1, 0, 0, 0)};
    EXPECT_EQ(expected, StatusLines(records));
    EXPECT_TRUE(HasLine(records, L"cmzel_Finalize - called with [] []"));
    EXPECT_TRUE(HasLine(records, L"InitService - Succeed to create all threads"));
}

TEST_F(ServiceUnderScm, PluginWithoutProcessEntryFailsTheStart)
{
    Install(CMDHANDLER_NOPROCESS_DLL);
    ASSERT_TRUE(StartServiceW(m_service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"InitService - Fail to initalize Command Handler", 60000));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    m_listener.Stop();
    const auto lines = StatusLines(m_listener.Records());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::wstring::npos, lines.back().find(L"CurrentState(1)"));
    EXPECT_EQ(std::wstring::npos, lines.back().find(L"Win32ExitCode(0)"));
    EXPECT_FALSE(HasLine(m_listener.Records(), L"stvZelSvr has started up."));
}

TEST_F(ServiceUnderScm, MissingPluginFailsTheStart)
{
    Install(nullptr);
    ASSERT_TRUE(StartServiceW(m_service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(m_listener.WaitForLine(L"InitService - Fail to initalize Command Handler", 60000));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    m_listener.Stop();
    EXPECT_TRUE(HasLine(m_listener.Records(), L"ubale to load"));
}

}  // namespace
