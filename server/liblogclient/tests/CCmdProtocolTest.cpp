#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <string>

#include "CCmdProtocol.h"

namespace {

TEST(CCmdProtocol, FieldsAreJoinedBySingleDelimitersWithNoneAtTheEnd) {
    CCmdProtocol command;
    command << L"LOG_WRITE" << -5 << 4294967295u << static_cast<DWORD>(0) << L"src" << 12;
    EXPECT_EQ(command.Body(), L"LOG_WRITE\t-5\t4294967295\t0\tsrc\t12");
}

TEST(CCmdProtocol, NullTextGivesAnEmptyField) {
    CCmdProtocol command;
    command << L"A" << static_cast<const wchar_t*>(nullptr) << L"B";
    EXPECT_EQ(command.Body(), L"A\t\tB");
}

TEST(CCmdProtocol, ExtremeIntegersAreWrittenInFull) {
    CCmdProtocol command;
    command << INT_MIN << INT_MAX;
    EXPECT_EQ(command.Body(), L"-2147483648\t2147483647");
}

TEST(CCmdProtocol, BodyGrowsPastItsFirstReservation) {
    const std::wstring big(5000, L'z');
    CCmdProtocol command;
    command << L"X" << big.c_str() << 1;
    EXPECT_EQ(command.Body(), L"X\t" + big + L"\t1");
}

TEST(CCmdProtocol, OtherDelimitersAreUsedAsGiven) {
    CCmdProtocol command(L"||");
    command << L"a" << L"b";
    EXPECT_EQ(command.Body(), L"a||b");
}

}  // namespace
