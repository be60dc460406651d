#include "PathLinks.h"
#include "UnixLinks.h"

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
        m_links.RemoveAll();  // first: Wine deletes through a link, not the link
        DeleteFileW((m_root + L"\\file").c_str());
        RemoveDirectoryW((m_root + L"\\elsewhere\\inner").c_str());
        RemoveDirectoryW((m_root + L"\\elsewhere").c_str());
        RemoveDirectoryW((m_root + L"\\plain").c_str());
        RemoveDirectoryW(m_root.c_str());
    }

    // ln -s target root\name, on the Unix side.
    int UnixSymlink(const wchar_t* target, const wchar_t* name) {
        m_links.Add(m_root + L"\\" + target, m_root + L"\\" + name);
        return m_links.Plant() ? 0 : -1;
    }

    ZELTEST::CPlantedLinks m_links;
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

// What may be written or deleted through a handle: only the one plain file
// at the very name opened. A symlink (Wine follows it on open), a second
// hard link or a folder is refused; a dangling link is not created through.
TEST_F(PathLinks, OnlyASinglePlainFileAtItsNameIsWrittenOrDeleted) {
    ASSERT_EQ(0, UnixSymlink(L"file", L"filelink"));
    ASSERT_EQ(0, UnixSymlink(L"absent", L"dangling"));
    ASSERT_TRUE(CreateHardLinkW((m_root + L"\\hard").c_str(), (m_root + L"\\file").c_str(),
                                nullptr));
    const struct {
        const wchar_t* name;
        bool plain;
    } rows[] = {{L"\\hard", false}, {L"\\filelink", false}, {L"\\file", false}};
    for (const auto& row : rows) {
        const std::wstring path = m_root + row.name;
        const UTIL::unique_handle file = UTIL::OpenFileNoFollow(
            path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(file.valid()) << std::string(row.name, row.name + wcslen(row.name));
        EXPECT_EQ(row.plain, UTIL::IsSinglePlainFileAt(file.get(), path.c_str()));
    }
    ASSERT_TRUE(DeleteFileW((m_root + L"\\hard").c_str()));
    const UTIL::unique_handle alone = UTIL::OpenFileNoFollow((m_root + L"\\file").c_str(),
                                                             FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
    EXPECT_TRUE(UTIL::IsSinglePlainFileAt(alone.get(), (m_root + L"\\file").c_str()));

    const std::wstring fresh = m_root + L"\\fresh";
    UTIL::unique_handle created = UTIL::OpenOrCreateFileNoFollow(fresh.c_str(), DELETE, 0);
    ASSERT_TRUE(created.valid());
    EXPECT_TRUE(UTIL::IsSinglePlainFileAt(created.get(), fresh.c_str()));
    EXPECT_TRUE(UTIL::DeleteThroughHandle(created.get()));
    created.reset();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(fresh.c_str()));

    EXPECT_FALSE(
        UTIL::OpenOrCreateFileNoFollow((m_root + L"\\dangling").c_str(), GENERIC_WRITE, 0).valid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((m_root + L"\\absent").c_str()));
}

// An installation behind a link the administrator made (here: a symlinked
// ancestor) is measured against the root's own final path: its folders and
// files are plain, and a link planted below the root is still one.
TEST_F(PathLinks, BelowATrustedRootOnlyLinksPlantedBelowItCount) {
    ASSERT_TRUE(CreateDirectoryW((m_root + L"\\elsewhere\\inner").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((m_root + L"\\elsewhere\\inner\\sub").c_str(), nullptr));
    ASSERT_EQ(0, UnixSymlink(L"plain", L"elsewhere\\inner\\planted"));
    const UTIL::CTrustedRoot root((m_root + L"\\linked\\inner").c_str());
    ASSERT_TRUE(root.IsKnown());
    EXPECT_TRUE(UTIL::SameFullPath(root.FinalPath(),
                                   UTIL::NormalizedFullPath((m_root + L"\\elsewhere\\inner").c_str())));
    const struct {
        const wchar_t* below;
        UTIL::FolderState expected;
    } rows[] = {
        {L"", UTIL::FolderState::Plain},
        {L"\\sub", UTIL::FolderState::Plain},
        {L"\\SUB\\", UTIL::FolderState::Plain},
        {L"\\planted", UTIL::FolderState::Link},
        {L"\\absent", UTIL::FolderState::Missing},
    };
    for (const auto& row : rows) {
        const std::wstring path = m_root + L"\\linked\\inner" + row.below;
        EXPECT_EQ(row.expected,
                  UTIL::CheckFolderAt(path.c_str(), root.ExpectedFinalPath(path.c_str())))
            << std::string(row.below, row.below + wcslen(row.below));
    }
    // Not below the root: no expected place, so nothing there is accepted.
    EXPECT_EQ(L"", root.ExpectedFinalPath((m_root + L"\\linked\\innerX").c_str()));
    EXPECT_EQ(L"", root.ExpectedFinalPath((m_root + L"\\plain").c_str()));
    EXPECT_FALSE(UTIL::CTrustedRoot((m_root + L"\\absent").c_str()).IsKnown());
}

TEST(PathLinksNames, RelativeBelowComparesWholeNamesAsWindowsDoes) {
    const struct {
        const wchar_t* root;
        const wchar_t* path;
        bool below;
        const wchar_t* relative;
    } rows[] = {
        {L"C:\\Product", L"C:\\Product", true, L""},
        {L"C:\\Product", L"c:\\PRODUCT\\BM\\LOG", true, L"BM\\LOG"},
        {L"C:\\", L"C:\\Product", true, L"Product"},
        {L"C:\\Product", L"C:\\ProductX\\BM", false, L""},
        {L"C:\\Product\\Bin", L"C:\\Product", false, L""},
        {L"C:\\\u00c9tude", L"c:\\\u00e9TUDE\\x", true, L"x"},
        {L"", L"C:\\Product", false, L""},
    };
    for (const auto& row : rows) {
        std::wstring relative;
        EXPECT_EQ(row.below, UTIL::RelativeBelow(row.root, row.path, &relative))
            << std::string(row.path, row.path + wcslen(row.path));
        EXPECT_EQ(row.relative, relative);
    }
}

TEST(PathLinksNames, SamePathIgnoresCaseVerbatimPrefixAndTrailingSeparator) {
    EXPECT_TRUE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"\\\\?\\C:\\Windows\\"),
                                   UTIL::NormalizedFullPath(L"c:\\windows")));
    EXPECT_TRUE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"C:\\windows\\system32\\..\\"),
                                   UTIL::NormalizedFullPath(L"C:\\Windows")));
    EXPECT_FALSE(UTIL::SameFullPath(UTIL::NormalizedFullPath(L"C:\\Windows"),
                                    UTIL::NormalizedFullPath(L"C:\\Windows2")));
    EXPECT_FALSE(UTIL::SameFullPath(L"", L""));
    // Case folding beyond ASCII, as the file system folds names.
    EXPECT_TRUE(UTIL::SameFullPath(L"C:\\\u00c9T\u00c9", L"c:\\\u00e9t\u00e9"));
}

}  // namespace
