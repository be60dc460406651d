#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DebugTrace.h"
#include "LogPipeListener.h"
#include "mbwc_mbwc.h"

namespace {

constexpr UINT kInvalidCodePage = 12345;

// Refusals trace an 'F' line; a marker traced after the call shows that
// everything before it has arrived, so "no line" can be checked too.
class Mbwc : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_listener.Start()); }

    std::vector<ZELTEST::LogRecord> RecordsBeforeMarker() {
        DebugTraceW('I', TRACE_SRC_W, L"marker");
        EXPECT_TRUE(m_listener.WaitForLine(L"]marker"));
        m_listener.Stop();
        auto records = m_listener.Records();
        records.pop_back();
        return records;
    }

    ZELTEST::CLogPipeListener m_listener;
};

TEST_F(Mbwc, MBToWCExactCapacitySucceeds) {
    wchar_t buffer[4] = {};
    EXPECT_EQ(MBWC::MBToWC("abc", buffer, 4, CP_ACP, 0), 4);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_TRUE(RecordsBeforeMarker().empty());
}

TEST_F(Mbwc, MBToWCOneShortIsRefusedWithAnFLine) {
    wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(MBWC::MBToWC("abc", buffer, 3, CP_ACP, 0), 0);
    EXPECT_EQ(buffer[0], L'#');  // untouched
    const auto records = RecordsBeforeMarker();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Level(), 'F');
    const std::wstring& line = records[0].Line();
    EXPECT_NE(line.find(L"][MBWC::MBToWC] MBWC error. Not enough buffer or wrong function was "
                        L"called. pszMultiByteStr=abc, nWideCharLength=3, CodePage=0, dwFlags=0"),
              std::wstring::npos)
        << line;
}

TEST_F(Mbwc, WCToMBExactCapacitySucceedsAndOneShortIsRefused) {
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(MBWC::WCToMB(L"xyz", buffer, 3, CP_ACP, WC_COMPOSITECHECK), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(MBWC::WCToMB(L"xyz", buffer, 4, CP_ACP, WC_COMPOSITECHECK), 4);
    EXPECT_STREQ(buffer, "xyz");
    const auto records = RecordsBeforeMarker();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Level(), 'F');
    EXPECT_NE(records[0].Line().find(
                  L"][MBWC::WCToMB] MBWC error. Not enough buffer or wrong function was called. "
                  L"pszWideCharStr=xyz, nMultiByteLength=3, CodePage=0, dwFlags=512"),
              std::wstring::npos)
        << records[0].Line();
}

TEST_F(Mbwc, EmptySourceGivesOneInEveryForm) {
    wchar_t wide[1] = {L'#'};
    char narrow[1] = {'#'};
    EXPECT_EQ(MBWC::MBToWC("", wide, 1, CP_ACP, 0), 1);
    EXPECT_EQ(wide[0], L'\0');
    EXPECT_EQ(MBWC::WCToMB(L"", narrow, 1, CP_ACP, 0), 1);
    EXPECT_EQ(narrow[0], '\0');
    std::string text = "old";
    EXPECT_EQ(MBWC::WCToMBString(L"", text, CP_ACP, 0), 1);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(RecordsBeforeMarker().empty());
}

TEST_F(Mbwc, InvalidCodePageFailsQuietlyAndReportsTheSystemError) {
    ::SetLastError(0);
    const int expectedFailure =
        ::WideCharToMultiByte(kInvalidCodePage, 0, L"abc", -1, nullptr, 0, nullptr, nullptr);
    const DWORD expectedError = ::GetLastError();
    ASSERT_EQ(expectedFailure, 0);
    ASSERT_NE(expectedError, 0u);

    char narrow[16] = {};
    wchar_t wide[16] = {};
    EXPECT_EQ(MBWC::WCToMB(L"abc", narrow, 16, kInvalidCodePage, 0), 0);
    EXPECT_EQ(MBWC::MBToWC("abc", wide, 16, kInvalidCodePage, 0), 0);
    std::string text = "kept";
    DWORD error = 0;
    EXPECT_EQ(MBWC::WCToMBString(L"abc", text, kInvalidCodePage, 0, &error), 0);
    EXPECT_EQ(error, expectedError);
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(RecordsBeforeMarker().empty());
}

TEST(MbwcString, ConvertsAndLeavesTheErrorUntouchedOnSuccess) {
    DWORD error = 777;
    std::string text;
    EXPECT_EQ(MBWC::WCToMBString(L"hello", text, CP_ACP, 0, &error), 6);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(error, 777u);
    EXPECT_EQ(MBWC::WCToMBString(L"abc", &error, CP_ACP, 0), "abc");
}

}  // namespace
