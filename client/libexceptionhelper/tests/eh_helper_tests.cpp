#include <gtest/gtest.h>
#include <stdlib.h>

#include "LogPipeListener.h"
#include "eh_exceptionhelper.h"
#include "eh_test_support.h"

using namespace EHTEST;

namespace {

LONG WINAPI SentinelFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}
void __cdecl SentinelPureCall() {}

// The import library has no _get_purecall_handler: swap and put back.
_purecall_handler CurrentPureCall() {
    _purecall_handler current = _set_purecall_handler(nullptr);
    _set_purecall_handler(current);
    return current;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current;
}

// Installs known handlers so that the test can see what the helper puts back.
class HelperInstallation : public ::testing::Test {
protected:
    void SetUp() override {
        m_outerFilter = ::SetUnhandledExceptionFilter(SentinelFilter);
        m_outerPureCall = _set_purecall_handler(SentinelPureCall);
    }
    void TearDown() override {
        ::SetUnhandledExceptionFilter(m_outerFilter);
        _set_purecall_handler(m_outerPureCall);
    }
    LPTOP_LEVEL_EXCEPTION_FILTER m_outerFilter = nullptr;
    _purecall_handler m_outerPureCall = nullptr;
};

TEST_F(HelperInstallation, DestructorPutsBackThePreviousHandlers) {
    {
        CExceptionHelper helper(true, MyUnhandledExceptionHandler);
        EXPECT_EQ(CurrentFilter(), &MyUnhandledExceptionHandler);
        EXPECT_EQ(CurrentPureCall(), &PureCallHandler);
    }
    EXPECT_EQ(CurrentFilter(), &SentinelFilter);
    EXPECT_EQ(CurrentPureCall(), &SentinelPureCall);
}

TEST_F(HelperInstallation, SecondInitialisationReportsTheRecordedFilter) {
    CExceptionHelper helper(true, MyUnhandledExceptionHandler);
    EXPECT_EQ(InitExceptionHandlerW(WorkingFolder().c_str(), true, SentinelFilter), 1);
    EXPECT_EQ(CurrentFilter(), &MyUnhandledExceptionHandler);
}

TEST_F(HelperInstallation, SwitchedOffLeavesTheFilterButPurgesAndCatchesPureCalls) {
    CScopedDumpSetting disabled(L"DumpEnableExceptionHelper", 0);
    const std::wstring working = WorkingFolder();
    DeleteFiles(working,
                L"????????"
                L"-??????.dmp");
    for (int day = 1; day <= 5; ++day) {
        wchar_t name[32] = {};
        _snwprintf(name, 31, L"202602%02d-080000.dmp", day);
        ASSERT_TRUE(CreateDumpFile(working + name));
    }
    {
        CExceptionHelper helper(true, MyUnhandledExceptionHandler);
        EXPECT_EQ(CurrentFilter(), &SentinelFilter);
        EXPECT_EQ(CurrentPureCall(), &PureCallHandler);
        EXPECT_EQ(InitExceptionHandlerW(working.c_str(), true, MyUnhandledExceptionHandler), -1);
    }
    EXPECT_FALSE(FileExists(working + L"20260201-080000.dmp"));
    EXPECT_EQ(ListFiles(working,
                        L"????????"
                        L"-??????.dmp")
                  .size(),
              4u);
    EXPECT_EQ(CurrentPureCall(), &SentinelPureCall);
    DeleteFiles(working,
                L"????????"
                L"-??????.dmp");
}

TEST(WorkingPath, DriveAndFolderOfTheExecutable) {
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    wchar_t folder[kEhPathChars] = {};
    wchar_t drive[kEhPathChars] = {};
    wchar_t unknown[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(folder, kEhPathChars, EH_PATH_WORKING_DIR);
    GetExceptionHelpWorkingPath(drive, kEhPathChars, EH_PATH_DRIVE);
    GetExceptionHelpWorkingPath(unknown, kEhPathChars, 1);
    const std::wstring module = modulePath;
    EXPECT_EQ(module.substr(0, module.rfind(L'\\') + 1), folder);
    EXPECT_EQ(module.substr(0, 2), drive);
    EXPECT_STREQ(folder, unknown);

    wchar_t small[4] = {};
    GetExceptionHelpWorkingPath(small, 4, EH_PATH_WORKING_DIR);
    EXPECT_EQ(std::wstring(small), module.substr(0, 3));
}

// An unknown type gives the working folder; both of its lines name the type
// that was passed.
TEST(WorkingPath, UnknownTypeIsTracedAsPassed) {
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    wchar_t folder[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(folder, kEhPathChars, 7);
    ASSERT_TRUE(listener.WaitForCount(2));
    listener.Stop();
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 2u);
    const auto endsWith = [](const std::wstring& line, const std::wstring& end) {
        return line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0;
    };
    EXPECT_TRUE(endsWith(records[0].Line(),
                         L"]GetExceptionHelpWorkingPath - No path type is matched: [7]. Using "
                         L"working dir."))
        << std::string(records[0].Line().begin(), records[0].Line().end());
    EXPECT_EQ(records[0].Level(), 'W');
    EXPECT_TRUE(endsWith(records[1].Line(), L"]GetExceptionHelpWorkingPath - Output path[7]: [" +
                                                std::wstring(folder) + L"]."))
        << std::string(records[1].Line().begin(), records[1].Line().end());
    EXPECT_EQ(records[1].Level(), 'D');
}

}  // namespace
