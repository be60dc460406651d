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

// The entry point looks the product folder up once before each path it
// builds: four times before the web-server line (the scan, server and module
// INI files, then "StUninst.ini") and twice after it (the trace's settings
// file and debug library), each lookup with its 'I' "Working Dir" line. Then,
// with the tag, the command line and the dispatcher failure.
void ExpectEntrySequence(const std::vector<ZELTEST::LogRecord>& records, const std::wstring& root,
                         const std::wstring& webServerLine, const std::wstring& cmdLine) {
    const std::wstring workingDir = kBefore + L"getWorkingDirectory - Working Dir = " + root;
    std::vector<std::wstring> expected(4, workingDir);
    expected.push_back(kBefore + webServerLine);
    expected.insert(expected.end(), 2, workingDir);
    expected.push_back(kAfter + cmdLine);
    expected.push_back(kAfter + L"main - StartServiceCtrlDispatcher failed.");
    const std::vector<char> levels = {'I', 'I', 'I', 'I', 'I', 'I', 'I', 'I', 'E'};

    // The crash-dump helper, made first, traces its set-up before them; no
    // line of it is a "Working Dir" line.
    size_t first = 0;
    while (first < records.size() && records[first].Line() != workingDir) ++first;
    for (size_t i = 0; i < first; ++i) {
        EXPECT_EQ(records[i].Line().find(L"getWorkingDirectory"), std::wstring::npos)
            << records[i].Line();
    }
    ASSERT_EQ(records.size() - first, expected.size()) << "records from the first Working Dir line";
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(records[first + k].Line(), expected[k]) << "record " << k;
        EXPECT_EQ(records[first + k].Level(), levels[k]) << "record " << k;
    }
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
