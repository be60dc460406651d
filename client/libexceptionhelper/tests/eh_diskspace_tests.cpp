#include <gtest/gtest.h>

#include "eh_exceptionhelper.h"
#include "eh_test_support.h"

using namespace EHTEST;

namespace {

const wchar_t kDumpPattern[] =
    L"????????"
    L"-??????.dmp";

BOOL ExactlyMinimumFree(const wchar_t*, ULARGE_INTEGER* freeToCaller) {
    freeToCaller->QuadPart = 1024ULL << 20;
    return TRUE;
}

BOOL FreeSpaceUnknown(const wchar_t*, ULARGE_INTEGER*) {
    ::SetLastError(ERROR_NOT_READY);
    return FALSE;
}

BOOL EnoughFreeWithASpareByteBelowNextMegabyte(const wchar_t*, ULARGE_INTEGER* freeToCaller) {
    freeToCaller->QuadPart = (1025ULL << 20) - 1;  // still 1024 whole megabytes
    return TRUE;
}

class DiskSpaceCheck : public ::testing::Test {
protected:
    void SetUp() override { DeleteFiles(WorkingFolder(), kDumpPattern); }
    void TearDown() override {
        EH::SetFreeSpaceQuery(nullptr);
        DeleteFiles(WorkingFolder(), kDumpPattern);
    }
};

TEST_F(DiskSpaceCheck, ExactlyTheMinimumFreeWritesNoDump) {
    CExceptionHelper helper(true, MyUnhandledExceptionHandler);
    EH::SetFreeSpaceQuery(ExactlyMinimumFree);
    EXPECT_EQ(RunFilterOnThisThread(), EXCEPTION_CONTINUE_SEARCH);
    EH::SetFreeSpaceQuery(EnoughFreeWithASpareByteBelowNextMegabyte);
    EXPECT_EQ(RunFilterOnThisThread(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_TRUE(ListFiles(WorkingFolder(), kDumpPattern).empty());
}

TEST_F(DiskSpaceCheck, UnknownFreeSpaceWritesNoDump) {
    CExceptionHelper helper(true, MyUnhandledExceptionHandler);
    EH::SetFreeSpaceQuery(FreeSpaceUnknown);
    EXPECT_EQ(RunFilterOnThisThread(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_TRUE(ListFiles(WorkingFolder(), kDumpPattern).empty());
}

TEST_F(DiskSpaceCheck, LowerMinimumSettingLetsTheDumpThrough) {
    CScopedDumpSetting minimum(L"DumpMinimumFreeSpaceInMB", 1023);
    CExceptionHelper helper(false, MyUnhandledExceptionHandler);
    EH::SetFreeSpaceQuery(ExactlyMinimumFree);
    EXPECT_EQ(RunFilterOnThisThread(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(ListFiles(WorkingFolder(), kDumpPattern).size(), 1u);
}

}  // namespace
