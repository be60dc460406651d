// What the purge counts and deletes whatever the folders hold: names matched
// only through a short name, entries it cannot open, thousands of dumps, a
// purge stopped by its time budget.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProductFolder.h"
#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"
#include "eh_test_support.h"

using namespace EHTEST;

namespace {

// Lists everything in the folder, as Windows' search does for a name whose
// 8.3 short name matches the pattern ("x.dmpx" is "X~1.DMP"): Wine keeps no
// short names, so the test widens the pattern itself.
HANDLE WINAPI ListEverything(LPCWSTR search, FINDEX_INFO_LEVELS level, LPVOID data,
                             FINDEX_SEARCH_OPS op, LPVOID filter, DWORD flags) {
    std::wstring all = search;
    all = all.substr(0, all.find_last_of(L'\\') + 1) + L"*";
    return ::FindFirstFileExW(all.c_str(), level, data, op, filter, flags);
}
const EH::DumpListingCalls kListEverything = {ListEverything, ::FindNextFileW, ::FindClose};

ULONGLONG g_now = 0;
ULONGLONG g_step = 0;
ULONGLONG WINAPI SteppingClock() { return g_now += g_step; }

class PurgeRules : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ZELTEST::CreateFolders(m_recorder));
        ASSERT_TRUE(ZELTEST::CreateFolders(m_log));
        g_now = 0;
        g_step = 0;  // a clock that stands still: no budget runs out
        EH::SetPurgeClock(SteppingClock);
    }
    void TearDown() override {
        EH::SetPurgeClock(nullptr);
        EH::SetDumpListingCalls(nullptr);
        DeleteFiles(m_recorder, L"*");
        DeleteFiles(m_log, L"*");
        ::RemoveDirectoryW(m_recorder.c_str());
        ::RemoveDirectoryW(m_log.c_str());
        ::RemoveDirectoryW((m_working + L"..\\BM\\").c_str());
    }
    static std::wstring Dated(int index) {
        wchar_t name[32] = {};
        _snwprintf(name, 31, L"2026%04d-120000.dmp", index);
        return name;
    }
    std::wstring Kept(const std::wstring& folder, const wchar_t* pattern = L"*") const {
        std::wstring kept;
        for (const std::wstring& name : ListFiles(folder, pattern)) kept += name + L" ";
        return kept;
    }

    const std::wstring m_working = WorkingFolder();
    const std::wstring m_recorder = m_working + L"HBRF\\";
    const std::wstring m_log = m_working + L"..\\BM\\LOG\\";
};

// Only a long name that matches the pattern itself is a dump: with the
// listing widened as a short-name match widens it, nothing else goes.
TEST_F(PurgeRules, OnlyLongNamesMatchingThePatternArePurged) {
    CScopedDumpSetting maximum(L"DumpMaximumFiles", 0);
    const struct {
        const std::wstring& folder;
        const wchar_t* name;
        bool purged;
    } rows[] = {
        {m_log, L"crash.dmp", true},
        {m_log, L"UPPER.DMP", true},  // names compare without case, as Windows does
        {m_log, L"x.dmpx", false},
        {m_log, L"a.dmp.bak", false},
        {m_log, L"notes.txt", false},
        {m_recorder, L"20260101-120000.dmp", true},
        {m_recorder, L"20260101-120000.dmpx", false},
        {m_recorder, L"2026010-1120000.dmp", false},
        {m_recorder, L"20260101-1200000.dmp", false},
        {m_recorder, L"20260101_120000.dmp", false},
    };
    for (const auto& row : rows) ASSERT_TRUE(CreateDumpFile(row.folder + row.name));
    EH::SetDumpListingCalls(&kListEverything);
    CleanupDumpFolders();
    for (const auto& row : rows)
        EXPECT_EQ(FileExists(row.folder + row.name), !row.purged) << row.name;
}

// An entry the purge cannot open is neither counted nor touched: the newest
// one held open without sharing does not push an ordinary dump out.
TEST_F(PurgeRules, EntryThatCannotBeOpenedIsNotCounted) {
    CScopedDumpSetting maximum(L"DumpMaximumFiles", 2);
    for (int index = 1; index <= 4; ++index)
        ASSERT_TRUE(CreateDumpFile(m_recorder + Dated(index)));
    UTIL::unique_handle held(::CreateFileW((m_recorder + Dated(4)).c_str(), GENERIC_READ, 0,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    CleanupDumpFolders();
    held.reset();
    EXPECT_EQ(Kept(m_recorder), Dated(2) + L" " + Dated(3) + L" " + Dated(4) + L" ");
}

// A few thousand dumps: exactly the newest four stay, and the purge leaves
// no handle open (it holds one candidate at a time).
TEST_F(PurgeRules, ThousandsOfDumpsLeaveExactlyTheNewestFour) {
    constexpr int kDumps = 3000;
    for (int index = 1; index <= kDumps; ++index)
        ASSERT_TRUE(CreateDumpFile(m_recorder + Dated(index))) << index;
    DWORD handlesBefore = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesBefore));
    CleanupDumpFolders();
    DWORD handlesAfter = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesAfter));
    EXPECT_EQ(handlesAfter, handlesBefore);
    std::wstring newest;
    for (int index = kDumps - 3; index <= kDumps; ++index) newest += Dated(index) + L" ";
    EXPECT_EQ(Kept(m_recorder), newest);
}

// A purge whose budget runs out stops part-way; the next one goes on from
// there and the retention is exact once it is done.
TEST_F(PurgeRules, PurgeStoppedByItsBudgetIsFinishedByTheNextOne) {
    for (int index = 1; index <= 20; ++index)
        ASSERT_TRUE(CreateDumpFile(m_recorder + Dated(index)));
    g_step = EH::kPurgeBudgetMs / 32;  // every look at the clock costs 62 ms
    CleanupDumpFolders();
    const size_t left = ListFiles(m_recorder, L"*.dmp").size();
    // 16 "Found" lines fill the first half, the newest four are judged,
    // 11 deletions fit in the rest.
    EXPECT_EQ(left, 9u);
    g_step = 0;
    CleanupDumpFolders();
    EXPECT_EQ(Kept(m_recorder), Dated(17) + L" " + Dated(18) + L" " + Dated(19) + L" " +
                                    Dated(20) + L" ");
}

// zeldiag's view of a folder is the purge's: the same count, links and
// unopenable entries left out.
TEST_F(PurgeRules, SurveyCountsWhatThePurgeCounts) {
    for (int index = 1; index <= 3; ++index)
        ASSERT_TRUE(CreateDumpFile(m_recorder + Dated(index)));
    UTIL::unique_handle held(::CreateFileW((m_recorder + Dated(2)).c_str(), GENERIC_READ, 0,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    const EH::DumpFolderSurvey survey = EH::SurveyDumpFolder(EH::PurgedDumpFolders(m_working)[1]);
    EXPECT_EQ(survey.state, UTIL::FolderState::Plain);
    EXPECT_EQ(survey.leftAlone, 1u);
    ASSERT_EQ(survey.counted.size(), 2u);
    EXPECT_EQ(survey.counted[0].path, m_recorder + Dated(1));
    EXPECT_EQ(survey.counted[1].path, m_recorder + Dated(3));
}

}  // namespace
