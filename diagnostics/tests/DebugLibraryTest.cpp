#include <gtest/gtest.h>

#include <string>

#include "DebugTrace.h"
#include "LogPipeListener.h"
#include "ProductFolder.h"
#include "TestSupport.h"
#include "kvdbg20.h"

namespace {

// The stand-in library as the trace loads it: by path, at trace start.
class DebugLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_RUN_ALONE();
        const std::string path = NarrowWinePath();
        ASSERT_TRUE(InitDebugTraceA("C:\\p\\stvdebug.ini", path.c_str(), "LIBTEST", false));
        HMODULE module = ::GetModuleHandleW(L"kvdbg20.dll");
        ASSERT_NE(module, nullptr);
        m_count = reinterpret_cast<KvDbg_TraceCount_t>(
            reinterpret_cast<void*>(::GetProcAddress(module, "KvDbg_TraceCount")));
        m_get = reinterpret_cast<KvDbg_GetTrace_t>(
            reinterpret_cast<void*>(::GetProcAddress(module, "KvDbg_GetTrace")));
        m_init = reinterpret_cast<KvDbg_InitCalls_t>(
            reinterpret_cast<void*>(::GetProcAddress(module, "KvDbg_InitCalls")));
        ASSERT_TRUE(m_count && m_get && m_init);
    }

    static std::string NarrowWinePath() {
        const std::wstring wide = ZELTEST::WinePathOf(KVDBG20_DLL);
        return std::string(wide.begin(), wide.end());
    }

    std::wstring TraceText(int index, int* level) {
        wchar_t text[kTraceLineChars] = {};
        int line = 0;
        if (!m_get(index, level, &line, text, kTraceLineChars)) return L"<none>";
        return text;
    }

    KvDbg_TraceCount_t m_count = nullptr;
    KvDbg_GetTrace_t m_get = nullptr;
    KvDbg_InitCalls_t m_init = nullptr;
};

TEST_F(DebugLibrary, StartEntryGetsTheSettingsFileOnce) {
    char settings[MAX_PATH] = {};
    EXPECT_EQ(m_init(settings, MAX_PATH), 1);
    EXPECT_STREQ(settings, "C:\\p\\stvdebug.ini");
}

TEST_F(DebugLibrary, TraceToLibraryGetsTheComposedLine) {
    EXPECT_TRUE(DebugTraceToLibraryW(3, TRACE_SRC_W, L"%s - lib %d", L"F", 9));
    ASSERT_EQ(m_count(), 1);
    int level = 0;
    EXPECT_EQ(TraceText(0, &level), L"[LIBTEST][" + TRACETEST::ExeName() + L"]F - lib 9");
    EXPECT_EQ(level, 3);
}

TEST_F(DebugLibrary, MissingLogServerIsReportedOncePerProcess) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(DebugTraceW('I', TRACE_SRC_W, L"%s - record %d", L"Test", i));
    }
    ASSERT_EQ(m_count(), 1);
    int level = 0;
    EXPECT_EQ(TraceText(0, &level), L"[LIBTEST][" + TRACETEST::ExeName() +
                                        L"]Need to Start LogServer for turn on debug log.");
    EXPECT_EQ(level, 5);
}

TEST_F(DebugLibrary, DeliveredRecordsReportNothing) {
    ZELTEST::CLogPipeListener listener;
    ASSERT_TRUE(listener.Start());
    EXPECT_TRUE(DebugTraceW('I', TRACE_SRC_W, L"ok"));
    EXPECT_EQ(m_count(), 0);
}

TEST(DebugLibraryAbsent, TraceToLibraryDropsTheMessage) {
    REQUIRE_RUN_ALONE();
    EXPECT_FALSE(DebugTraceToLibraryW('E', TRACE_SRC_W, L"%s - nowhere", L"F"));
}

TEST(DebugLibraryAbsent, StartWithAMissingLibraryReportsFalse) {
    EXPECT_FALSE(InitDebugTraceW(L"C:\\none\\stvdebug.ini", L"C:\\none\\kvdbg20.dll", L"X", false));
}

}  // namespace
