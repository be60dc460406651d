#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"

namespace {

constexpr wchar_t kServiceName[] = L"stvZelSvr";

bool HasLine(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) return true;
    return false;
}

size_t CountLines(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    size_t count = 0;
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) ++count;
    return count;
}

// Registers the service (demand start, not started) and closes the handles.
bool Register(const std::wstring& exe) {
    ZELTEST::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ZELTEST::unique_sc_handle service(
        CreateServiceW(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       (L"\"" + exe + L"\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service != nullptr;
}

DWORD OpenError(const wchar_t* name) {
    ZELTEST::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ZELTEST::unique_sc_handle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    return service ? ERROR_SUCCESS : GetLastError();
}

// What "-install" registers.
void ExpectRegistration(SC_HANDLE service, const std::wstring& exe) {
    BYTE buffer[8192] = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                    sizeof buffer, &needed));
    const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_EQ(L"\"" + exe + L"\"", config->lpBinaryPathName);
    EXPECT_STREQ(kServiceName, config->lpDisplayName);
    ASSERT_TRUE(
        QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &needed));
    EXPECT_STREQ(L"Sentavo ZEL Web Service Module.",
                 reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);
}

// The product folder with the executable and its plug-in; the service
// "stvZelSvr" is removed before and after each test, whoever created it.
class SelfInstall : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveService();
        m_exe = m_folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        ASSERT_FALSE(m_exe.empty());
        ASSERT_FALSE(
            m_folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                .empty());
        ASSERT_TRUE(m_listener.Start());
    }

    void TearDown() override {
        RemoveService();
        m_listener.Stop();
    }

    static void RemoveService() {
        ZELTEST::CScmService leftover(kServiceName);
        if (leftover.Open()) leftover.Remove();
    }

    // Runs the executable with one argument; its exit code.
    DWORD Run(const wchar_t* argument) {
        const auto result = ZELTEST::RunProcess(L"\"" + m_exe + L"\" " + argument);
        EXPECT_TRUE(result.finished);
        return result.exitCode;
    }

    ZELTEST::CProductFolder m_folder{L"selfinstall"};
    ZELTEST::CLogPipeListener m_listener;
    std::wstring m_exe;
};

TEST_F(SelfInstall, InstallRegistersAndStartsTheServiceAndUninstallStopsAndDeletesIt) {
    EXPECT_EQ(0u, Run(L"-install"));
    {
        // Closed before "-uninstall": an open handle keeps a deleted service.
        ZELTEST::CScmService service(kServiceName);
        ASSERT_TRUE(service.Open());
        ExpectRegistration(service.Handle(), m_exe);
        EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING));
        service.Release();
    }

    ASSERT_TRUE(m_listener.WaitForLine(L"InstallAsService - StartService result(0)"));
    // Wine accepts the failure actions (and keeps none: CrashRecovery
    // records what is asked); the line comes after the start's.
    EXPECT_TRUE(m_listener.WaitForLine(L"InstallAsService - SetFailureActions result(0)"));
    EXPECT_TRUE(m_listener.WaitForLine(L"stvZelSvr has started up."));
    EXPECT_TRUE(m_listener.WaitForLine(L"InstallAsService - path = " + m_exe +
                                       L", service path = \"" + m_exe + L"\""));
    EXPECT_TRUE(m_listener.WaitForLine(L"scCreateServiceW - Service installed successfully"));

    EXPECT_EQ(0u, Run(L"-uninstall"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kServiceName));
    ASSERT_TRUE(m_listener.WaitForLine(L"UninstallAsService - DeleteService result(0)"));
    // The service ran its stop sequence before it was deleted.
    EXPECT_TRUE(m_listener.WaitForLine(L"cmzel_Finalize - called with [] []"));
    EXPECT_TRUE(m_listener.WaitForLine(L"Service_Handler - Signal g_terminateEvent"));
    m_listener.Stop();
    const auto records = m_listener.Records();
    EXPECT_TRUE(HasLine(records, L"[scDeleteService] DeleteService [stvZelSvr] success."));
    EXPECT_FALSE(HasLine(records, L"scWaitForServiceStatus(SERVICE_STOPPED, stvZelSvr) FAILED"));
}

TEST_F(SelfInstall, UninstallOfAStoppedServiceDeletesItAtOnce) {
    ASSERT_TRUE(Register(m_exe));
    EXPECT_EQ(0u, Run(L"-uninstall"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kServiceName));
    ASSERT_TRUE(m_listener.WaitForLine(L"UninstallAsService - DeleteService result(0)"));
    m_listener.Stop();
    const auto records = m_listener.Records();
    // One look at the state, no stop request, no wait.
    EXPECT_EQ(1u, CountLines(records, L"[scStopServiceViaSCM] ssStatus.dwCurrentState = 1"));
    EXPECT_EQ(0u, CountLines(records, L"[WaitForServiceStatusH]"));
    EXPECT_FALSE(HasLine(records, L"Service_Handler"));
}

TEST_F(SelfInstall, InstallOverAnExistingServiceAndUninstallOfNoneOnlyTraceTheFailure) {
    ZELTEST::CScmService service(kServiceName);
    ASSERT_TRUE(service.Install(m_exe));
    EXPECT_EQ(0u, Run(L"-install"));
    ASSERT_TRUE(m_listener.WaitForLine(L"InstallAsService - CreateService failed(-3)"));
    EXPECT_FALSE(HasLine(m_listener.Records(), L"SetFailureActions"));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(service.Handle(), &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    service.Remove();

    EXPECT_EQ(0u, Run(L"-uninstall"));
    EXPECT_TRUE(m_listener.WaitForLine(L"UninstallAsService - StopService failed(1060)"));
    EXPECT_TRUE(m_listener.WaitForLine(L"[scStopServiceW] service(stvZelSvr) does not exist"));
}

}  // namespace
