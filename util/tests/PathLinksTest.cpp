#include "PathLinks.h"

#include <gtest/gtest.h>

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

    // ln -s target root\name. Wine 8's CreateSymbolicLinkW reports success
    // and creates nothing; Wine starts a Unix program named by its absolute
    // path, so the link is made by the Unix side's ln.
    int UnixSymlink(const wchar_t* target, const wchar_t* name) {
        using WineGetUnixName = char*(__cdecl*)(const wchar_t*);
        const auto toUnix = reinterpret_cast<WineGetUnixName>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (toUnix == nullptr) return -1;
        char* unixRoot = toUnix(m_root.c_str());
        if (unixRoot == nullptr) return -1;
        std::wstring command = L"/bin/ln -s " + std::wstring(target) + L" ";
        for (const char* c = unixRoot; *c; ++c) command += static_cast<wchar_t>(*c);
        command += L"/" + std::wstring(name);
        HeapFree(GetProcessHeap(), 0, unixRoot);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            return -2;
        }
        // Wine hands back no usable process handle for a Unix program: the
        // link's appearance is the result, awaited for a bounded time.
        const std::wstring link = m_root + L"\\" + name;
        for (int tries = 0; tries < 1500; ++tries) {
            if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
            Sleep(20);
        }
        return -3;
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
