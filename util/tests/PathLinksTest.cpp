#include "PathLinks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// A scratch folder under the prefix's C: drive; links in it are made with
// the Unix side's symlink, the stand-in for a planted junction or link.
class PathLinks : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_root = std::wstring(temp) + L"zel_pathlinks_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(m_root.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_root + L"\\plain").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_root + L"\\elsewhere").c_str(), nullptr));
        const UTIL::unique_handle file(CreateFileW((m_root + L"\\file").c_str(), GENERIC_WRITE, 0,
                                                   nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file.valid());
        ASSERT_EQ(0, UnixSymlink(L"elsewhere", L"linked"));
    }
    void TearDown() override {
        RemoveDirectoryW((m_root + L"\\linked").c_str());
        DeleteFileW((m_root + L"\\linked").c_str());
        DeleteFileW((m_root + L"\\file").c_str());
        RemoveDirectoryW((m_root + L"\\elsewhere\\inner").c_str());
        RemoveDirectoryW((m_root + L"\\elsewhere").c_str());
        RemoveDirectoryW((m_root + L"\\plain").c_str());
        RemoveDirectoryW(m_root.c_str());
    }

    // ln -s target root\name, through the Unix path Wine gives the folder.
    int UnixSymlink(const wchar_t* target, const wchar_t* name) {
        using WineGetUnixName = char*(__cdecl*)(const wchar_t*);
        const auto toUnix = reinterpret_cast<WineGetUnixName>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (toUnix == nullptr) return -1;
        char* unixRoot = toUnix(m_root.c_str());
        if (unixRoot == nullptr) return -1;
        std::string command = "/bin/ln -s ";
        for (const wchar_t* c = target; *c; ++c) command += static_cast<char>(*c);
        command += std::string(" '") + unixRoot + "/";
        for (const wchar_t* c = name; *c; ++c) command += static_cast<char>(*c);
        command += "'";
        HeapFree(GetProcessHeap(), 0, unixRoot);
        // Wine runs a Unix program given by its absolute path.
        return std::system(command.c_str());
    }

    std::wstring m_root;
};

TEST_F(PathLinks, FolderStatesAsSeenWithoutFollowing) {
    const struct {
        const wchar_t* name;
        UTIL::FolderState expected;
    } rows[] = {
        {L"\\plain", UTIL::FolderState::Plain},
        {L"\\plain\\", UTIL::FolderState::Plain},
        {L"\\absent", UTIL::FolderState::Missing},
        {L"\\absent\\below", UTIL::FolderState::Missing},
        {L"\\file", UTIL::FolderState::NotFolder},
        {L"\\linked", UTIL::FolderState::Link},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, UTIL::CheckFolder((m_root + row.name).c_str()))
            << std::string(row.name, row.name + wcslen(row.name));
    }
}

TEST_F(PathLinks, FolderBelowALinkIsReachedThroughIt) {
    ASSERT_TRUE(CreateDirectoryW((m_root + L"\\elsewhere\\inner").c_str(), nullptr));
    EXPECT_EQ(UTIL::FolderState::Link, UTIL::CheckFolder((m_root + L"\\linked\\inner").c_str()));
    EXPECT_EQ(UTIL::FolderState::Plain,
              UTIL::CheckFolder((m_root + L"\\elsewhere\\inner").c_str()));
}

TEST(PathLinksNames, SamePathIgnoresCaseVerbatimPrefixAndTrailingSeparator) {
    EXPECT_TRUE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"\\\\?\\C:\\Windows\\"),
                                   UTIL::NormalizedFullPath(L"c:\\windows")));
    EXPECT_TRUE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"C:\\windows\\system32\\..\\"),
                                   UTIL::NormalizedFullPath(L"C:\\Windows")));
    EXPECT_FALSE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"C:\\Windows"),
                                    UTIL::NormalizedFullPath(L"C:\\Windows2")));
    EXPECT_FALSE(UTIL::SameFullPath(L"", L""));
}

}  // namespace
