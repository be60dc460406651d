#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "DebugTrace.h"
#include "LogLevelMap.h"
#include "LogPipeListener.h"
#include "SharedWord.h"
#include "TraceObserver.h"

namespace {

TEST(TraceLevelRank, LettersAndNumbersMapToTheirRanks) {
    for (int level : std::initializer_list<int>{'F', 0, 1, 2})
        EXPECT_EQ(TraceLevelRank(level), 2) << level;
    for (int level : std::initializer_list<int>{'E', 3, 4})
        EXPECT_EQ(TraceLevelRank(level), 4) << level;
    for (int level : std::initializer_list<int>{'W', 5})
        EXPECT_EQ(TraceLevelRank(level), 5) << level;
    for (int level : std::initializer_list<int>{'I', 6, 7})
        EXPECT_EQ(TraceLevelRank(level), 7) << level;
    EXPECT_EQ(TraceLevelRank('N'), -1);
    for (int level : std::initializer_list<int>{'D', 8, 9, 'A', 'Z', 255})
        EXPECT_EQ(TraceLevelRank(level), 9) << level;
}

TEST(TraceLevelGate, EveryLevelPassesWhileBit16IsClear) {
    for (DWORD word :
         std::initializer_list<DWORD>{0x00000000u, 0x00000007u, 0x0000FFFEu, 0xFFFE0000u}) {
        for (int level = 0; level <= 255; ++level) {
            EXPECT_TRUE(IsLevelEnabledByWord(word, level)) << std::hex << word << " " << level;
        }
    }
}

TEST(TraceLevelGate, ThresholdSevenDropsDebugOnly) {
    const DWORD word = 0x00010007;
    EXPECT_FALSE(IsLevelEnabledByWord(word, 'D'));
    EXPECT_FALSE(IsLevelEnabledByWord(word, 8));
    for (int level : std::initializer_list<int>{'I', 73, 7, 'W', 'E', 'F', 'N'}) {
        EXPECT_TRUE(IsLevelEnabledByWord(word, level)) << level;
    }
}

TEST(TraceLevelGate, NegativeThresholdDropsAllLevelsButOutOfByteOnes) {
    const DWORD word = 0x0001FFFE;  // threshold -2
    for (int level = 0; level <= 255; ++level) {
        EXPECT_FALSE(IsLevelEnabledByWord(word, level)) << level;
    }
    EXPECT_TRUE(IsLevelEnabledByWord(word, -1));
    EXPECT_TRUE(IsLevelEnabledByWord(word, 256));
}

TEST(TraceLevelGate, BitsAboveTheGateBitAreIgnored) {
    EXPECT_FALSE(IsLevelEnabledByWord(0xFF010007, 'D'));
    EXPECT_TRUE(IsLevelEnabledByWord(0xFF010007, 'I'));
}

TEST(CLogLevelMap, MissingSectionLetsEveryLevelPass) {
    CLogLevelMap map(L"No\\Such\\Namespace\\zel_levels");
    EXPECT_FALSE(map.HasView());
    EXPECT_TRUE(map.IsLevelEnabled('D'));
    EXPECT_TRUE(map.IsLevelEnabled(0));
}

TEST(CLogLevelMap, FollowsTheWordWhileItChanges) {
    const std::wstring name = L"Local\\zel_test_levels_" + std::to_wstring(::GetCurrentProcessId());
    CLogLevelMap map(name.c_str());
    ASSERT_TRUE(map.HasView());
    EXPECT_TRUE(map.IsLevelEnabled('D'));  // a new word is 0: gate off
    ZELTEST::CSharedWord word(name.c_str());
    word.Set(0x00010007);
    EXPECT_FALSE(map.IsLevelEnabled('D'));
    EXPECT_TRUE(map.IsLevelEnabled('I'));
    word.Set(0x0001FFFE);
    EXPECT_FALSE(map.IsLevelEnabled('F'));
    EXPECT_FALSE(map.IsLevelEnabled('N'));
}

class TraceGateOnSharedWord : public ::testing::Test {
protected:
    void TearDown() override { m_word.Set(0); }
    ZELTEST::CSharedWord m_word{kLogLevelMapName};
};

TEST_F(TraceGateOnSharedWord, DroppedCallSendsNothingAndPassingCallArrives) {
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    m_word.Set(0x00010007);
    EXPECT_FALSE(IsTraceLevelEnabled('D'));
    EXPECT_TRUE(IsTraceLevelEnabled(-1));
    EXPECT_TRUE(IsTraceLevelEnabled(256));
    EXPECT_FALSE(DebugTraceW('D', TRACE_SRC_W, L"%s - dropped", L"Test"));
    EXPECT_TRUE(DebugTraceW('I', TRACE_SRC_W, L"%s - passed", L"Test"));
    ASSERT_TRUE(listener.WaitForCount(1));
    listener.Stop();
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].Line().find(L"Test - passed"), std::wstring::npos);
}

// The observer sees every composed text, the dropped one included, while the
// gate alone still decides what reaches the log server.
TEST_F(TraceGateOnSharedWord, ObserverSeesDroppedAndPassingLinesAndTheGateStillDecides) {
    struct CCollector : ITraceObserver {
        std::vector<std::pair<int, std::wstring>> lines;
        void OnTraceLine(int level, const wchar_t* text) override {
            lines.emplace_back(level, text);
        }
    } collector;
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    m_word.Set(0x00010007);
    {
        CScopedTraceObserver observe(collector);
        EXPECT_FALSE(DebugTraceW('D', TRACE_SRC_W, L"%s - dropped %d", L"Test", 1));
        EXPECT_TRUE(DebugTraceA('I', TRACE_SRC_A, "%s - passed %d", "Test", 2));
    }
    EXPECT_FALSE(DebugTraceW('D', TRACE_SRC_W, L"%s - unobserved", L"Test"));
    ASSERT_TRUE(listener.WaitForCount(1));
    listener.Stop();
    const std::vector<std::pair<int, std::wstring>> expected = {{'D', L"Test - dropped 1"},
                                                                {'I', L"Test - passed 2"}};
    EXPECT_EQ(collector.lines, expected);
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].Line().find(L"]Test - passed 2"), std::wstring::npos);
}

}  // namespace
