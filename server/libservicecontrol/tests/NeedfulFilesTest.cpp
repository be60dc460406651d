#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "ScTestSupport.h"
#include "sc_servicecontrol.h"

namespace {

using SCTEST::CTraceRecords;

constexpr const wchar_t* kNeedful[] = {L"StvPIPC_64x.dll", L"Quorlin.dll", L"Pelsade.dll",
                                       L"Wextrom.dll"};

class NeedfulFiles : public ::testing::Test {
protected:
    SCTEST::CApplicationPath m_applicationPath;
    SCTEST::CDoublesBesideExe m_besideExe;
};

TEST_F(NeedfulFiles, AreCopiedFromTheApplicationPath) {
    ASSERT_TRUE(m_applicationPath.PointAt(m_applicationPath.DoublesFolder()));
    EXPECT_TRUE(scCopyNeedfulFiles());
    for (const wchar_t* name : kNeedful) EXPECT_TRUE(m_besideExe.Exists(name)) << name;
}

TEST_F(NeedfulFiles, RunFromInsideTheApplicationPathCopyNothing) {
    std::wstring exeFolder = SCTEST::ExeFolder();
    std::transform(exeFolder.begin(), exeFolder.end(), exeFolder.begin(), ::towupper);
    ASSERT_TRUE(m_applicationPath.PointAt(exeFolder));
    CTraceRecords trace;
    EXPECT_TRUE(scCopyNeedfulFiles());
    for (const wchar_t* name : kNeedful) EXPECT_FALSE(m_besideExe.Exists(name)) << name;
    EXPECT_EQ(0u, CTraceRecords::Count(trace.Collect(), L"[scCopyFile]"));
}

TEST_F(NeedfulFiles, ExistingFilesAreNeverOverwrittenAndTheOthersStillCome) {
    ASSERT_TRUE(m_applicationPath.PointAt(m_applicationPath.DoublesFolder()));
    const std::wstring kept = SCTEST::ExeFolder() + L"Quorlin.dll";
    {
        HANDLE file =
            CreateFileW(kept.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, "kept", 4, &written, nullptr);
        CloseHandle(file);
    }
    CTraceRecords trace;
    EXPECT_TRUE(scCopyNeedfulFiles());
    EXPECT_EQ("kept", m_besideExe.Content(L"Quorlin.dll"));
    EXPECT_TRUE(m_besideExe.Exists(L"Wextrom.dll"));
    const auto records = trace.Collect();
    EXPECT_EQ(3u, CTraceRecords::Count(records, L"success"));
    const auto* refused = CTraceRecords::Find(records, L"Quorlin.dll failed, GetLastError() = 80");
    ASSERT_NE(nullptr, refused);
    EXPECT_EQ('D', refused->Level());
}

TEST_F(NeedfulFiles, ApplicationPathMustBeATerminatedString) {
    CTraceRecords trace;
    ASSERT_TRUE(m_applicationPath.SetRaw(REG_BINARY, L"C:\\", 8));
    EXPECT_FALSE(scCopyNeedfulFiles());
    // (A REG_SZ without its zero cannot be staged here: Wine's read adds one.)
    ASSERT_TRUE(m_applicationPath.SetRaw(REG_SZ, L"C:\\", 7));  // odd size
    EXPECT_FALSE(scCopyNeedfulFiles());
    const std::wstring tooLong(300, L'a');
    ASSERT_TRUE(m_applicationPath.PointAt(tooLong));
    EXPECT_FALSE(scCopyNeedfulFiles());
    const auto records = trace.Collect();
    EXPECT_EQ(2u,
              CTraceRecords::Count(records, L"\"Application Path\") failed, GetLastError() = 13"));
    EXPECT_EQ(1u,
              CTraceRecords::Count(records, L"\"Application Path\") failed, GetLastError() = 234"));
    for (const wchar_t* name : kNeedful) EXPECT_FALSE(m_besideExe.Exists(name)) << name;
}

TEST(ScCopyFile, NullPointerOrOverlongFolderIsRefused) {
    CTraceRecords trace;
    EXPECT_FALSE(scCopyFile(nullptr, 3, L"C:\\", 3, L"x.dll"));
    EXPECT_FALSE(scCopyFile(L"C:\\", 3, L"C:\\", 257, L"x.dll"));
    EXPECT_FALSE(scCopyFile(L"C:\\", 3, L"C:\\", 3, nullptr));
    const auto records = trace.Collect();
    ASSERT_EQ(3u, CTraceRecords::Count(records, L"[scCopyFile] failed, NULL pointer"));
    EXPECT_EQ('E', records[0].Level());
}

TEST(ScCopyFile, TakesExactlyTheGivenLengthOfEachFolder) {
    SCTEST::CApplicationPath doubles;
    SCTEST::CDoublesBesideExe besideExe;
    const std::wstring source = doubles.DoublesFolder() + L"ignored tail";
    const std::wstring target = SCTEST::ExeFolder();
    EXPECT_TRUE(scCopyFile(source.c_str(), static_cast<DWORD>(doubles.DoublesFolder().size()),
                           target.c_str(), static_cast<DWORD>(target.size()), L"Pelsade.dll"));
    EXPECT_TRUE(besideExe.Exists(L"Pelsade.dll"));
    // A folder of 256 characters leaves no room for the name in 260.
    const std::wstring longFolder = L"C:\\" + std::wstring(252, L'a') + L"\\";
    CTraceRecords trace;
    EXPECT_FALSE(scCopyFile(longFolder.c_str(), 256, target.c_str(),
                            static_cast<DWORD>(target.size()), L"Pelsade.dll"));
    EXPECT_EQ(1u, CTraceRecords::Count(trace.Collect(), L"failed, GetLastError() = 206"));
}

}  // namespace
