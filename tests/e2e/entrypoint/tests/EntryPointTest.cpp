#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogPipeListener.h"
#include "ProductFolder.h"

namespace {

constexpr DWORD kDispatcherOutsideScm = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;  // 1063
const std::wstring kBefore = L"[][stvZelSvr.exe]";
const std::wstring kAfter = L"[ZEL_SVR][stvZelSvr.exe]";

// Each run costs about 10 s: Wine's dispatcher takes that long to give up
// outside the Service Control Manager.
class EntryPoint : public ::testing::Test {
protected:
    ZELTEST::ProcessResult Run(ZELTEST::CProductFolder& folder, const std::wstring& arguments) {
        const std::wstring exe = folder.InstallExe(ZELTEST::WinePathOf(STVZELSVR_EXE));
        EXPECT_FALSE(exe.empty());
        EXPECT_TRUE(m_listener.Start());
        const ZELTEST::ProcessResult result =
            ZELTEST::RunProcess(L"\"" + exe + L"\"" + arguments, L"C:\\");
        // The failure line is the process's last record.
        EXPECT_TRUE(m_listener.WaitForLine(L"StartServiceCtrlDispatcher failed."));
        m_listener.Stop();
        return result;
    }

    ZELTEST::CLogPipeListener m_listener;
};

// Working Dir lines, then the web-server kind, more Working Dir lines, then
// (with the tag) the command line and the dispatcher failure.
void ExpectEntrySequence(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& root,
                         const std::wstring& webServerLine, const std::wstring& cmdLine) {
    const std::wstring workingDir = kBefore + L"getWorkingDirectory - Working Dir = " + root;
    // The crash-dump helper, made first, traces its set-up before them.
    size_t i = 0;
    while (i < records.size() && records[i].Line() != workingDir) ++i;
    const size_t firstWorkingDir = i;
    while (i < records.size() && records[i].Line() == workingDir) ++i;
    ASSERT_GT(i, firstWorkingDir) << "no Working Dir line after the crash-dump helper's lines";
    ASSERT_LT(i, records.size());
    EXPECT_EQ(records[i].Line(), kBefore + webServerLine);
    EXPECT_EQ(records[i].Level(), 'I');
    for (++i; i < records.size() && records[i].Line() == workingDir; ++i) {
        EXPECT_EQ(records[i].Level(), 'I');
    }
    ASSERT_EQ(records.size() - i, 2u) << "expected cmd and failure lines last";
    EXPECT_EQ(records[i].Line(), kAfter + cmdLine);
    EXPECT_EQ(records[i].Level(), 'I');
    EXPECT_EQ(records[i + 1].Line(), kAfter + L"main - StartServiceCtrlDispatcher failed.");
    EXPECT_EQ(records[i + 1].Level(), 'E');
    EXPECT_EQ(records[firstWorkingDir].Level(), 'I');
}

TEST_F(EntryPoint, WithoutArgumentsOutsideScmExitsWith1063AfterTracingItsStart) {
    ZELTEST::CProductFolder folder(L"entry_iis");
    const ZELTEST::ProcessResult result = Run(folder, L"");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, kDispatcherOutsideScm);
    ExpectEntrySequence(m_listener.Records(), folder.Root(), L"main - Running with IIS (0)",
                        L"main - cmd()");
}

TEST_F(EntryPoint, ApacheServerTypeAndAnUnknownArgumentStillStartTheDispatcher) {
    ZELTEST::CProductFolder folder(L"entry_apache");
    ASSERT_TRUE(folder.WriteIni(L"StUninst.ini", L"WEB_SERVER", L"ServerType", L"2"));
    const ZELTEST::ProcessResult result = Run(folder, L" -Console");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, kDispatcherOutsideScm);
    ExpectEntrySequence(m_listener.Records(), folder.Root(), L"main - Running with Apache (2)",
                        L"main - cmd(-Console)");
}

}  // namespace
