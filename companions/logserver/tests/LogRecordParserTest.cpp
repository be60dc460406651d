#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogRecordParser.h"

namespace {

using LOGSRV::ParsedRecord;

std::vector<BYTE> Bytes(const std::wstring& text, bool withZero = true) {
    std::vector<BYTE> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    if (withZero) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::wstring Refusal(const std::vector<BYTE>& bytes) {
    ParsedRecord record;
    std::wstring reason;
    EXPECT_FALSE(LOGSRV::ParseLogRecord(bytes, record, reason));
    return reason;
}

TEST(LogRecordParser, GoodRecordGivesItsFields) {
    ParsedRecord record;
    std::wstring reason;
    ASSERT_TRUE(LOGSRV::ParseLogRecord(
        Bytes(L"LOG_WRITE\t-5\t12\t420\t73\tC:\\src\\a.cpp\t99\t[T][x.exe]f - a\tb"), record,
        reason))
        << reason;
    EXPECT_EQ(record.time, -5);
    EXPECT_EQ(record.processId, 12u);
    EXPECT_EQ(record.threadId, 420u);
    EXPECT_EQ(record.level, 73);
    EXPECT_EQ(record.sourceFile, L"C:\\src\\a.cpp");
    EXPECT_EQ(record.line, 99);
    EXPECT_EQ(record.text, L"[T][x.exe]f - a\tb");  // tabs in the text stay
}

TEST(LogRecordParser, MalformedInputIsRefusedWithAReason) {
    std::vector<BYTE> odd = Bytes(L"LOG_WRITE\t1\t2\t3\t4\ts\t5\tt");
    odd.push_back(0);
    EXPECT_NE(Refusal(odd).find(L"odd byte count"), std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_WRITE\t1\t2\t3\t4\ts\t5\tt", false)).find(L"terminating zero"),
              std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_WRITE\t1\t2\t3")).find(L"too few fields"), std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_READ\t1\t2\t3\t4\ts\t5\tt")).find(L"not a LOG_WRITE"),
              std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_WRITE\tx\t2\t3\t4\ts\t5\tt")).find(L"time"), std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_WRITE\t1\t-2\t3\t4\ts\t5\tt")).find(L"process"),
              std::wstring::npos);
    EXPECT_NE(Refusal(Bytes(L"LOG_WRITE\t1\t2\t3\t99999999999\ts\t5\tt")).find(L"level"),
              std::wstring::npos);
    EXPECT_NE(
        Refusal(Bytes(std::wstring(L"LOG_WRITE\t1\t2\t3\t4\ts\t5\tt") + L'\xD800')).find(L"UTF-16"),
        std::wstring::npos);
    EXPECT_NE(Refusal({}).find(L"empty"), std::wstring::npos);
    EXPECT_NE(Refusal(std::vector<BYTE>(LOGSRV::kMaxRecordBytes + 2, 'a')).find(L"too large"),
              std::wstring::npos);
}

TEST(LogRecordParser, LevelLettersFollowTheGateTable) {
    EXPECT_EQ(LOGSRV::LevelLetter(73), L'I');
    EXPECT_EQ(LOGSRV::LevelLetter(5), L'W');
    EXPECT_EQ(LOGSRV::LevelLetter(2), L'F');
    EXPECT_EQ(LOGSRV::LevelLetter(68), L'D');
    EXPECT_EQ(LOGSRV::LevelLetter(200), L'D');
    EXPECT_EQ(LOGSRV::LevelLetter(-1), L'?');
}

TEST(LogRecordParser, FormattedLineNamesPidTidLevelSourceAndText) {
    ParsedRecord record;
    record.processId = 7;
    record.threadId = 8;
    record.level = 'E';
    record.sourceFile = L"C:\\src\\zel_Main.cpp";
    record.line = 42;
    record.text = L"[ZEL_SVR][stvZelSvr.exe]main - x";
    const std::wstring line = LOGSRV::FormatRecord(record);
    EXPECT_NE(line.find(L" pid=7 tid=8 E zel_Main.cpp:42 [ZEL_SVR][stvZelSvr.exe]main - x"),
              std::wstring::npos)
        << line;
}

}  // namespace
