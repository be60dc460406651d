#include "ProfileCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

DWORD g_ticks = 0;
DWORD FakeTicks() {
    return g_ticks;
}

class ProfileCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, dir);
        m_path = std::string(dir) + "zel_profile_cache_test.ini";
        DeleteFileA(m_path.c_str());
        Write("ZOLM", "Mode", "101");
        g_ticks = 1000;
        m_cache.SetTickSource(FakeTicks);
        ASSERT_TRUE(m_cache.OpenA(m_path.c_str(), 0));
    }
    void TearDown() override { DeleteFileA(m_path.c_str()); }

    void Write(const char* section, const char* key, const char* value) {
        ASSERT_TRUE(WritePrivateProfileStringA(section, key, value, m_path.c_str()));
    }

    std::string m_path;
    CProfileCache m_cache;
};

TEST_F(ProfileCacheTest, ChangedValueIsHiddenWithinExpiryAndSeenAfter) {
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    Write("ZOLM", "Mode", "5");
    g_ticks += 30000;
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    g_ticks += 1;
    EXPECT_EQ(5u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
}

TEST_F(ProfileCacheTest, EntryStampedBeforeTickWrapStaysFresh) {
    g_ticks = 0xFFFFFF00u;
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    Write("ZOLM", "Mode", "5");
    g_ticks = 20000;  // wrapped; about 20.2 s later
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    g_ticks = 30000;  // 30.2 s later
    EXPECT_EQ(5u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
}

TEST_F(ProfileCacheTest, SectionNamesDifferingInCaseAreTwoEntries) {
    Write("Section", "Key", "1");
    EXPECT_EQ(1u, m_cache.GetIntA("Section", "Key", 0, 0));
    Write("Section", "Key", "2");
    // The INI file treats both spellings as one section; the cache does not.
    EXPECT_EQ(2u, m_cache.GetIntA("section", "Key", 0, 0));
    EXPECT_EQ(1u, m_cache.GetIntA("Section", "Key", 0, 0));
}

TEST_F(ProfileCacheTest, DefaultOfFirstCallIsCached) {
    EXPECT_EQ(5u, m_cache.GetIntA("ZOLM", "Missing", 5, 0));
    EXPECT_EQ(5u, m_cache.GetIntA("ZOLM", "Missing", 7, 0));
}

TEST_F(ProfileCacheTest, CachedStringIsCutToSmallerBuffer) {
    Write("S", "K", "ABCDEFGHIJKLMNOPQRST");
    char big[260];
    EXPECT_EQ(20u, m_cache.GetStringA(big, "S", "K", "", sizeof big, 0));
    EXPECT_STREQ("ABCDEFGHIJKLMNOPQRST", big);
    char small[10];
    EXPECT_EQ(9u, m_cache.GetStringA(small, "S", "K", "", sizeof small, 0));
    EXPECT_STREQ("ABCDEFGHI", small);
}

TEST_F(ProfileCacheTest, StringFirstReadIntoSmallBufferStaysCut) {
    Write("S", "K", "ABCDEFGHIJKLMNOPQRST");
    char small[10];
    EXPECT_EQ(9u, m_cache.GetStringA(small, "S", "K", "", sizeof small, 0));
    char big[260];
    EXPECT_EQ(9u, m_cache.GetStringA(big, "S", "K", "", sizeof big, 0));
    EXPECT_STREQ("ABCDEFGHI", big);
}

TEST_F(ProfileCacheTest, WideStringRoundTripsThroughCache) {
    Write("INI_SERVER_SECTION", "Service_Pending_Time", "300000");
    wchar_t out[32] = L"junk";
    EXPECT_EQ(6u, m_cache.GetStringW(out, L"INI_SERVER_SECTION", L"Service_Pending_Time", L"120000",
                                     32, 0));
    EXPECT_STREQ(L"300000", out);
    EXPECT_EQ(6u, m_cache.GetStringW(out, L"INI_SERVER_SECTION", L"Missing", L"120000", 32, 0));
    EXPECT_STREQ(L"120000", out);
}

TEST_F(ProfileCacheTest, BypassSeesChangeAtOnceAndLeavesCacheAlone) {
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    Write("ZOLM", "Mode", "5");
    EXPECT_EQ(5u, m_cache.GetIntA("ZOLM", "Mode", 0, 1));
    EXPECT_EQ(101u, m_cache.GetIntA("ZOLM", "Mode", 0, 0));
    char out[16];
    Write("S", "K", "new");
    EXPECT_EQ(3u, m_cache.GetStringA(out, "S", "K", "", sizeof out, 1));
    Write("S", "K", "newer");
    EXPECT_EQ(5u, m_cache.GetStringA(out, "S", "K", "", sizeof out, 0));
}

TEST(ProfileCacheBinding, MissingFileReportsFalseAndReadsGiveDefaults) {
    CProfileCache cache;
    EXPECT_FALSE(cache.OpenW(L"C:\\no\\such\\folder\\stvZelSvr.ini", 0));
    EXPECT_EQ(101u, cache.GetIntW(L"ZOLM", L"Mode", 101, 0));
    EXPECT_EQ(101u, cache.GetIntW(L"ZOLM", L"Mode", 7, 0));
    wchar_t out[16];
    EXPECT_EQ(6u, cache.GetStringW(out, L"INI_SERVER_SECTION", L"Service_Pending_Time", L"120000",
                                   16, 0));
    EXPECT_STREQ(L"120000", out);
}

}  // namespace
