// Twenty "-install" / "-uninstall" cycles: each one starts the service,
// stops and deletes it, and leaves no process of it behind. Each uninstall
// waits about ten seconds, so the twenty run as four groups of five in a
// row, each group a test of its own (CTest runs them in separate prefixes).
#include <windows.h>

#include <tlhelp32.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "ScmService.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kServiceName[] = L"stvZelSvr";
constexpr int kGroups = 4;
constexpr int kCycles = 5;  // per group

int CountProcesses(const wchar_t* exeName) {
    UTIL::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) ++count;
    }
    return count;
}

// The service process ends shortly after its stopped report.
bool WaitUntilNoProcess(const wchar_t* exeName, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (CountProcesses(exeName) == 0) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(200);
    }
}

DWORD OpenServiceError() {
    ZELTEST::unique_sc_handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ZELTEST::unique_sc_handle service(
        OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    return service ? ERROR_SUCCESS : GetLastError();
}

size_t CountLines(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& part) {
    size_t count = 0;
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) ++count;
    return count;
}

class InstallCycles : public ::testing::TestWithParam<int> {};

TEST_P(InstallCycles, FiveInstallUninstallCyclesInARowEachEndWithNoServiceAndNoProcess) {
    {
        ZELTEST::CScmService leftover(kServiceName);
        if (leftover.Open()) leftover.Remove();
    }
    ZELTEST::CProductFolder folder(L"installcycles");
    const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(folder.CopyIn(ZELTEST::WinePathOf(CMDHANDLER_DLL), L"Bin\\x64\\libCmdHndlrZel.dll")
                     .empty());
    const wchar_t* exeName = wcsrchr(exe.c_str(), L'\\') + 1;
    ASSERT_TRUE(WaitUntilNoProcess(exeName, 30000)) << "a stvZelSvr process runs before the test";
    ZELTEST::CLogPipeListener log;
    ASSERT_TRUE(log.Start());

    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        SCOPED_TRACE("group " + std::to_string(GetParam()) + ", cycle " + std::to_string(cycle));
        const auto install = ZELTEST::RunProcess(L"\"" + exe + L"\" -install");
        ASSERT_TRUE(install.finished);
        EXPECT_EQ(0u, install.exitCode);
        {
            // Closed before "-uninstall": an open handle would keep the
            // deleted service registered.
            ZELTEST::CScmService service(kServiceName);
            ASSERT_TRUE(service.Open());
            EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING));
            service.Release();
        }
        // The snapshot sees the running service, so its absence later counts.
        EXPECT_EQ(1, CountProcesses(exeName));

        const auto uninstall = ZELTEST::RunProcess(L"\"" + exe + L"\" -uninstall");
        ASSERT_TRUE(uninstall.finished);
        EXPECT_EQ(0u, uninstall.exitCode);
        ASSERT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenServiceError());
        ASSERT_TRUE(WaitUntilNoProcess(exeName, 30000));
    }

    log.Stop();
    const auto records = log.Records();
    // A start slower than the install's last poll traces -13 although the
    // service runs (checked above), so only the line's presence counts.
    EXPECT_EQ(static_cast<size_t>(kCycles),
              CountLines(records, L"InstallAsService - StartService result("));
    EXPECT_EQ(static_cast<size_t>(kCycles),
              CountLines(records, L"UninstallAsService - DeleteService result(0)"));
    EXPECT_EQ(0u, CountLines(records, L"StopService failed"));
}

INSTANTIATE_TEST_SUITE_P(Groups, InstallCycles, ::testing::Range(1, kGroups + 1));

}  // namespace
