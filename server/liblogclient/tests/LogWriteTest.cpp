#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "OneRecordTest.h"
#include "logcl_command.h"

namespace {

std::vector<BYTE> Utf16LeWithZero(const std::wstring& text) {
    std::vector<BYTE> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class LogWrite : public ZELTEST::COneRecordTest {};

TEST_F(LogWrite, RecordIsExactToTheByte) {
    EXPECT_TRUE(logcl_WriteLog(1700000000, 4242, 0x1a4, 73, L"src\\zel_Main.cpp", 12,
                               L"[ZEL_SVR][stvZelSvr.exe]main - cmd(\u00e9)"));
    EXPECT_EQ(OnlyRecord().bytes,
              Utf16LeWithZero(L"LOG_WRITE\t1700000000\t4242\t420\t73\tsrc\\zel_Main.cpp\t12\t"
                              L"[ZEL_SVR][stvZelSvr.exe]main - cmd(\u00e9)"));
}

TEST_F(LogWrite, LevelAndNegativeNumbersGoOutAsPassed) {
    EXPECT_TRUE(logcl_WriteLog(-1, 1, 2, 5, L"a.cpp", -3, L"t"));
    EXPECT_EQ(OnlyRecord().bytes, Utf16LeWithZero(L"LOG_WRITE\t-1\t1\t2\t5\ta.cpp\t-3\tt"));
}

TEST_F(LogWrite, NarrowRecordIsWidened) {
    EXPECT_TRUE(logcl_WriteLogA(7, 8, 9, 68, "n.cpp", 1, "narrow text"));
    EXPECT_EQ(OnlyRecord().bytes,
              Utf16LeWithZero(L"LOG_WRITE\t7\t8\t9\t68\tn.cpp\t1\tnarrow text"));
}

TEST_F(LogWrite, LongRecordArrivesWholeInPieces) {
    const std::wstring text(3000, L'q');
    EXPECT_TRUE(logcl_WriteLog(1, 2, 3, 73, L"s", 4, text.c_str()));
    const ZELTEST::LogRecord record = OnlyRecord();
    EXPECT_EQ(record.Line(), text);
    for (DWORD size : record.messageSizes) EXPECT_LE(size, 1024u);
}

TEST(LogWriteWithoutServer, SendFailsAndKeepsNothing) {
    EXPECT_FALSE(logcl_SendCommand(L"LOG_WRITE\t1"));
    EXPECT_FALSE(logcl_WriteLog(1, 2, 3, 73, L"s", 4, L"t"));
}

}  // namespace
