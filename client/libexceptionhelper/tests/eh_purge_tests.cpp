#include <gtest/gtest.h>

#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"
#include "eh_test_support.h"

using namespace EHTEST;

namespace {

const wchar_t kDumpPattern[] =
    L"????????"
    L"-??????.dmp";

class DumpPurge : public ::testing::Test {
protected:
    void SetUp() override {
        m_working = WorkingFolder();
        m_recorder = m_working + L"HBRF\\";
        m_log = m_working + L"..\\BM\\";
        ::CreateDirectoryW(m_recorder.c_str(), nullptr);
        ::CreateDirectoryW(m_log.c_str(), nullptr);
        ::CreateDirectoryW((m_log + L"LOG\\").c_str(), nullptr);
        DeleteFiles(m_working, kDumpPattern);
    }
    void TearDown() override {
        DeleteFiles(m_working, kDumpPattern);
        DeleteFiles(m_recorder, L"*.dmp");
        DeleteFiles(m_log + L"LOG\\", L"*.dmp");
        ::RemoveDirectoryW(m_recorder.c_str());
        ::RemoveDirectoryW((m_log + L"LOG\\").c_str());
        ::RemoveDirectoryW(m_log.c_str());
    }
    std::wstring Dump(int index) const {
        wchar_t name[32] = {};
        _snwprintf(name, 31, L"202601%02d-120000.dmp", index);
        return m_working + name;
    }

    std::wstring m_working;
    std::wstring m_recorder;
    std::wstring m_log;
};

TEST_F(DumpPurge, FiveYoungDumpsKeepTheFourNewestNames) {
    // Ages run against the names: only the name decides which one goes.
    for (int index = 1; index <= 5; ++index) ASSERT_TRUE(CreateDumpFile(Dump(index), 5 - index));
    CleanupDumpFolders();
    EXPECT_FALSE(FileExists(Dump(1)));
    for (int index = 2; index <= 5; ++index) EXPECT_TRUE(FileExists(Dump(index))) << index;
}

TEST_F(DumpPurge, MaximumFilesZeroDeletesEveryDumpInThePurgedFolders) {
    CScopedDumpSetting maximum(L"DumpMaximumFiles", 0);
    ASSERT_TRUE(CreateDumpFile(Dump(1)));
    ASSERT_TRUE(CreateDumpFile(m_recorder + L"20260102-120000.dmp"));
    ASSERT_TRUE(CreateDumpFile(m_log + L"LOG\\crash.dmp"));
    ASSERT_TRUE(CreateDumpFile(m_working + L"keep.dmp"));  // not of the dated form
    CleanupDumpFolders();
    EXPECT_FALSE(FileExists(Dump(1)));
    EXPECT_FALSE(FileExists(m_recorder + L"20260102-120000.dmp"));
    EXPECT_FALSE(FileExists(m_log + L"LOG\\crash.dmp"));
    EXPECT_TRUE(FileExists(m_working + L"keep.dmp"));
    ::DeleteFileW((m_working + L"keep.dmp").c_str());
}

TEST_F(DumpPurge, DumpOlderThanKeepDaysGoesEvenAmongTheNewestFour) {
    ASSERT_TRUE(CreateDumpFile(Dump(1), 59));
    ASSERT_TRUE(CreateDumpFile(Dump(2), 61));
    ASSERT_TRUE(CreateDumpFile(m_recorder + L"20260103-120000.dmp", 61));
    CleanupDumpFolders();
    EXPECT_TRUE(FileExists(Dump(1)));
    EXPECT_FALSE(FileExists(Dump(2)));
    EXPECT_FALSE(FileExists(m_recorder + L"20260103-120000.dmp"));
}

TEST_F(DumpPurge, FailedDeletionDoesNotStopThePurge) {
    CScopedDumpSetting maximum(L"DumpMaximumFiles", 1);
    for (int index = 1; index <= 3; ++index) ASSERT_TRUE(CreateDumpFile(Dump(index)));
    // Held open without delete sharing, the oldest cannot be deleted.
    UTIL::unique_handle held(::CreateFileW(Dump(1).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    CleanupDumpFolders();
    EXPECT_TRUE(FileExists(Dump(1)));
    EXPECT_FALSE(FileExists(Dump(2)));
    EXPECT_TRUE(FileExists(Dump(3)));
}

TEST_F(DumpPurge, SystemCrashFileInTheWindowsFolderIsNeverDeleted) {
    CScopedDumpSetting maximum(L"DumpMaximumFiles", 0);
    CScopedDumpSetting keepDays(L"DumpMaxKeepDay", 0);
    wchar_t windowsFolder[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windowsFolder, MAX_PATH);
    const std::wstring crashFile = std::wstring(windowsFolder) + L"\\qpacrash.dmp";
    ASSERT_TRUE(CreateDumpFile(crashFile, 400));
    CleanupDumpFolders();
    EXPECT_TRUE(FileExists(crashFile));
    ::DeleteFileW(crashFile.c_str());
}

TEST(DumpFileSet, ListsFilesOnlyInNameOrder) {
    const std::wstring folder = WorkingFolder() + L"HBRF\\";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((folder + L"20260101-000000.dmp").c_str(), nullptr));
    ASSERT_TRUE(CreateDumpFile(folder + L"20261231-235959.dmp"));
    ASSERT_TRUE(CreateDumpFile(folder + L"20250630-101010.dmp"));
    DumpFileSet dumps;
    GetDumpFileName(folder.c_str(),
                    L"????????"
                    L"-??????.dmp",
                    &dumps);
    ASSERT_EQ(dumps.size(), 2u);
    EXPECT_EQ(*dumps.begin(), folder + L"20250630-101010.dmp");
    PurgeDumpFile(&dumps);
    EXPECT_TRUE(dumps.empty());
    DeleteFiles(folder, L"*.dmp");
    ::RemoveDirectoryW((folder + L"20260101-000000.dmp").c_str());
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
