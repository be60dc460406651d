#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "DebugTrace.h"
#include "OneRecordTest.h"
#include "TestSupport.h"

namespace {

using TRACETEST::ExeName;

class TraceLine : public ZELTEST::COneRecordTest {};

TEST_F(TraceLine, BeforeTraceStartTheTagIsEmpty) {
    REQUIRE_RUN_ALONE();
    const int before = static_cast<int>(std::time(nullptr));
    EXPECT_TRUE(DebugTraceW('I', L"src\\file.cpp", 12, L"%s - hello %d", L"Func", 42));
    const int after = static_cast<int>(std::time(nullptr));
    const ZELTEST::LogRecord record = OnlyRecord();
    ASSERT_EQ(record.fields.size(), 8u);
    EXPECT_TRUE(record.zeroTerminated);
    EXPECT_EQ(record.Field(0), L"LOG_WRITE");
    const int time = _wtoi(record.Field(1).c_str());
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    EXPECT_EQ(record.Field(2), std::to_wstring(::GetCurrentProcessId()));
    EXPECT_EQ(record.Field(3), std::to_wstring(::GetCurrentThreadId()));
    EXPECT_EQ(record.Field(4), L"73");
    EXPECT_EQ(record.Field(5), L"src\\file.cpp");
    EXPECT_EQ(record.Field(6), L"12");
    EXPECT_EQ(record.Line(), L"[][" + ExeName() + L"]Func - hello 42");
}

TEST_F(TraceLine, AfterTraceStartTheTagLeadsTheLine) {
    REQUIRE_RUN_ALONE();
    EXPECT_FALSE(InitDebugTraceW(L"C:\\p\\Private\\LogServer\\stvdebug.ini", L"C:\\p\\kvdbg20.dll",
                                 L"ZEL_SVR", true));
    EXPECT_EQ(::GetModuleHandleW(L"kvdbg20.dll"), nullptr);  // log-server-only: not loaded
    EXPECT_TRUE(DebugTraceA('I', "main.cpp", 7, "%s - cmd(%s)", "main", ""));
    EXPECT_EQ(OnlyRecord().Line(), L"[ZEL_SVR][" + ExeName() + L"]main - cmd()");
}

TEST_F(TraceLine, LongTextIsCutToExactly4095Characters) {
    const std::wstring text(5000, L'x');
    EXPECT_TRUE(DebugTraceW('I', TRACE_SRC_W, L"%s", text.c_str()));
    const std::wstring line = OnlyRecord().Line();
    EXPECT_EQ(line.size(), 4095u);
    EXPECT_EQ(line.back(), L'x');
}

TEST_F(TraceLine, LongNarrowTextIsCutToExactly4095Characters) {
    const std::string text(5000, 'y');
    EXPECT_TRUE(DebugTraceA('I', TRACE_SRC_A, "%s", text.c_str()));
    EXPECT_EQ(OnlyRecord().Line().size(), 4095u);
}

TEST_F(TraceLine, WideFormatTakesWideSAndNarrowCapitalS) {
    EXPECT_TRUE(DebugTraceW('W', TRACE_SRC_W, L"%s - %S", L"wide", "narrow"));
    EXPECT_EQ(TRACETEST::TextAfterHead(OnlyRecord().Line()), L"wide - narrow");
}

TEST_F(TraceLine, NarrowFormatTakesNarrowSAndWideCapitalS) {
    EXPECT_TRUE(DebugTraceA('E', "a.cpp", 3, "%s - %S", "narrow", L"wide"));
    const ZELTEST::LogRecord record = OnlyRecord();
    EXPECT_EQ(TRACETEST::TextAfterHead(record.Line()), L"narrow - wide");
    EXPECT_EQ(record.Field(5), L"a.cpp");
    EXPECT_EQ(record.Field(4), L"69");
}

TEST_F(TraceLine, LevelGoesOutAsPassed) {
    EXPECT_TRUE(DebugTraceW(5, TRACE_SRC_W, L"five"));
    EXPECT_EQ(OnlyRecord().Field(4), L"5");
}

TEST_F(TraceLine, TabInTheTextGoesOutUnchanged) {
    EXPECT_TRUE(DebugTraceW('I', TRACE_SRC_W, L"a\tb"));
    const ZELTEST::LogRecord record = OnlyRecord();
    EXPECT_EQ(record.fields.size(), 9u);
    EXPECT_EQ(record.fields.back(), L"b");
}

TEST_F(TraceLine, TraceKeepsTheLastErrorWhenDelivered) {
    ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_TRUE(DebugTraceW('E', TRACE_SRC_W, L"%s - failed.", L"main"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST(TraceWithoutServer, ReturnsFalseAndKeepsTheLastError) {
    ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_FALSE(DebugTraceW('E', TRACE_SRC_W, L"%s - failed.", L"main"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DebugTraceA('E', TRACE_SRC_A, "%s - failed.", "main"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
