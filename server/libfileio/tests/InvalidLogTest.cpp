// The invalid-signature log: one UTF-16LE record at the start of
// "DSInvalidLogLastInfo.log" in the product's Misc folder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileIoTestSupport.h"
#include "ProductFolder.h"
#include "UniqueHandle.h"
#include "UnixLinks.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kAppKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
constexpr wchar_t kServiceKey[] = L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";

std::vector<BYTE> Utf16(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<BYTE> RecordBytes(const std::wstring& text) {
    std::vector<BYTE> bytes = Utf16(text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// "Application Path" points at a product folder of the test; the log goes
// to its Misc folder. The value (and key) found before is restored.
class InvalidLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ZELTEST::CreateFolders(m_folder.Root() + L"Misc\\"));
        ASSERT_TRUE(m_appPath.Set(m_folder.Root()));
    }

    std::wstring LogPath() const { return m_folder.Root() + L"Misc\\DSInvalidLogLastInfo.log"; }

    ZELTEST::CProductFolder m_folder{L"fileio-invalidlog"};
    FILEIOTEST::CRegistryValueOverride m_appPath{kAppKey, L"Application Path"};
    FILEIOTEST::CTraceCapture m_trace;
    CVerifyFileSignV2 m_verifier;
};
using fileio_InvalidLog = InvalidLog;

TEST_F(fileio_InvalidLog, RecordIsPathTabSignedCodeAndOneNul) {
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", TRUST_E_NOSIGNATURE);
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(LogPath()), RecordBytes(L"C:\\p\\lib.dll\t-2146762496"));
}

TEST_F(fileio_InvalidLog, ShorterSecondRecordLeavesTheTailOfTheFirst) {
    const std::wstring first = L"C:\\a\\much\\longer\\path\\library.dll\t-2146762496";
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\a\\much\\longer\\path\\library.dll",
                                          TRUST_E_NOSIGNATURE);
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\b.dll", 0x20001447);
    std::vector<BYTE> expected = RecordBytes(L"C:\\b.dll\t536876103");
    const std::vector<BYTE> firstBytes = RecordBytes(first);
    expected.insert(expected.end(), firstBytes.begin() + static_cast<long>(expected.size()),
                    firstBytes.end());
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(LogPath()), expected);
}

TEST_F(fileio_InvalidLog, MissingMiscFolderIsAWarning) {
    ZELTEST::RemoveTree(m_folder.Root() + L"Misc\\");
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    const FILEIOTEST::TraceLine* line =
        m_trace.Find(L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Failed to open file: " +
                     LogPath() + L", Windows error code: 3");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'W');
}

TEST_F(fileio_InvalidLog, ConcurrentWriterFailsToOpenTheLog) {
    UTIL::unique_handle holder(::CreateFileW(LogPath().c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    holder.reset();
    EXPECT_TRUE(FILEIOTEST::ReadWholeFile(LogPath()).empty());
    EXPECT_TRUE(m_trace.Contains(L"Windows error code: 20"));  // ERROR_SHARING_VIOLATION
}

// A link planted at the log's name, to a file or to nothing, or a second
// hard link of another file: the record is written nowhere, the other file
// keeps its bytes and no file is created where a dangling link points.
TEST_F(fileio_InvalidLog, LinkAtTheLogNameIsRefusedNotFollowed) {
    const std::wstring target = m_folder.Root() + L"other.txt";
    const std::wstring missing = m_folder.Root() + L"absent.txt";
    const std::vector<BYTE> otherBytes = Utf16(L"someone else's file");
    const struct {
        const char* what;
        bool hardLink;
        const std::wstring& linkTo;
    } rows[] = {{"symlink to a file", false, target},
                {"dangling symlink", false, missing},
                {"hard link", true, target}};
    for (const auto& row : rows) {
        ASSERT_TRUE(FILEIOTEST::WriteWholeFile(target, otherBytes));
        ZELTEST::CPlantedLinks links;
        if (row.hardLink) {
            ASSERT_TRUE(::CreateHardLinkW(LogPath().c_str(), target.c_str(), nullptr)) << row.what;
        } else {
            links.Add(row.linkTo, LogPath());
            ASSERT_TRUE(links.Plant()) << row.what;
        }
        m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
        EXPECT_EQ(FILEIOTEST::ReadWholeFile(target), otherBytes) << row.what;
        EXPECT_EQ(::GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES) << row.what;
        if (row.hardLink) ::DeleteFileW(LogPath().c_str());
    }
    EXPECT_TRUE(m_trace.Contains(L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Not a plain "
                                 L"file: " + LogPath() + L", left alone"))
        << m_trace.Dump();
}

// The folder is judged below "Application Path": a Misc folder that is a
// link gets nothing (no file made in its target); a product folder reached
// through a link above it is the installation's and gets the record.
TEST_F(fileio_InvalidLog, MiscFolderThatIsALinkGetsNothingAndALinkedProductFolderItsRecord) {
    ZELTEST::CProductFolder elsewhere(L"fileio-invalidlog-elsewhere");
    const std::wstring linkedRoot = L"C:\\zeltest\\fileio-invalidlog-via\\";
    ZELTEST::CPlantedLinks links;
    ZELTEST::RemoveTree(m_folder.Root() + L"Misc\\");
    links.Add(elsewhere.Root(), m_folder.Root() + L"Misc");
    links.Add(m_folder.Root(), linkedRoot);
    ASSERT_TRUE(links.Plant());

    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    EXPECT_EQ(::GetFileAttributesW((elsewhere.Root() + L"DSInvalidLogLastInfo.log").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(m_trace.Contains(L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Folder " +
                                 m_folder.Root() + L"Misc\\ is link, nothing written"))
        << m_trace.Dump();

    links.RemoveAll();
    ASSERT_TRUE(ZELTEST::CreateFolders(m_folder.Root() + L"Misc\\"));
    links.Add(m_folder.Root(), linkedRoot);
    ASSERT_TRUE(links.Plant());
    ASSERT_TRUE(m_appPath.Set(linkedRoot));
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(LogPath()), RecordBytes(L"C:\\p\\lib.dll\t1"));
}

TEST_F(fileio_InvalidLog, ApplicationPathWithoutClosingBackslashStillNamesTheMiscFolder) {
    std::wstring root = m_folder.Root();
    root.pop_back();
    ASSERT_TRUE(m_appPath.Set(root));
    m_verifier.WriteDigitalSignInvalidLog(L"x", 5);
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(LogPath()), RecordBytes(L"x\t5"));
}

TEST_F(fileio_InvalidLog, MissingApplicationPathValueWritesNothing) {
    ASSERT_TRUE(m_appPath.Remove());
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    EXPECT_EQ(::GetFileAttributesW(LogPath().c_str()), INVALID_FILE_ATTRIBUTES);
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Failed to get registry key "
        L"_REG_APP_PATH_KEY_NAME, Windows error code: 2");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'I');
}

// A number or bytes under "Application Path" are no folder: read as text they
// would make a path relative to the current folder ("." from 0x2E).
TEST_F(fileio_InvalidLog, ApplicationPathOfAnotherTypeWritesNothing) {
    const DWORD dot = 0x2E;
    ASSERT_TRUE(m_appPath.SetRaw(REG_DWORD, &dot, sizeof(dot)));
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    ASSERT_TRUE(m_appPath.SetRaw(REG_BINARY, L".", 4));
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    const auto lines = m_trace.Lines();
    size_t refusals = 0;
    for (const FILEIOTEST::TraceLine& line : lines) {
        if (line.text.find(L"_REG_APP_PATH_KEY_NAME, Windows error code: d") != std::wstring::npos)
            ++refusals;
        EXPECT_EQ(line.text.find(L"WriteDigitalSignInvalidLog - Failed to open file"),
                  std::wstring::npos)
            << m_trace.Dump();
    }
    EXPECT_EQ(refusals, 2u) << m_trace.Dump();
}

TEST_F(fileio_InvalidLog, ApplicationPathLongerThanItsBufferWritesNothing) {
    ASSERT_TRUE(m_appPath.Set(std::wstring(300, L'a')));
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\p\\lib.dll", 1);
    EXPECT_TRUE(m_trace.Contains(L"_REG_APP_PATH_KEY_NAME, Windows error code: ea"))
        << m_trace.Dump();  // ERROR_MORE_DATA
}

TEST_F(fileio_InvalidLog, LongPathIsCutToTheRecordBuffer) {
    const std::wstring path(600, L'p');
    m_verifier.WriteDigitalSignInvalidLog(path.c_str(), 1);
    // 511 characters and the NUL.
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(LogPath()), RecordBytes(std::wstring(511, L'p')));
}

// Without the product key the log goes to "<Local_Path>TEMP\".
TEST(fileio_InvalidLogFallback, LocalPathTempFolderWhenTheProductKeyIsAbsent) {
    FILEIOTEST::CRegistryKeyHider hider(kAppKey);
    ASSERT_TRUE(hider.Hidden());
    ZELTEST::CProductFolder folder(L"fileio-invalidlog-local");
    ASSERT_TRUE(ZELTEST::CreateFolders(folder.Root() + L"TEMP\\"));
    FILEIOTEST::CRegistryValueOverride localPath(kServiceKey, L"Local_Path");
    ASSERT_TRUE(localPath.Set(folder.Root()));
    CVerifyFileSignV2 verifier;
    verifier.WriteDigitalSignInvalidLog(L"C:\\q.dll", 2);
    EXPECT_EQ(FILEIOTEST::ReadWholeFile(folder.Root() + L"TEMP\\DSInvalidLogLastInfo.log"),
              RecordBytes(L"C:\\q.dll\t2"));
}

TEST(fileio_InvalidLogRegistry, OverrideRestoresWhatWasThere) {
    const bool keyBefore = FILEIOTEST::KeyExists32(kAppKey);
    {
        FILEIOTEST::CRegistryValueOverride value(kAppKey, L"Application Path");
        ASSERT_TRUE(value.Set(L"C:\\elsewhere\\"));
        EXPECT_TRUE(FILEIOTEST::KeyExists32(kAppKey));
    }
    EXPECT_EQ(FILEIOTEST::KeyExists32(kAppKey), keyBefore);
    EXPECT_EQ(FILEIOTEST::KeyExists32(L"SOFTWARE\\Karvelo"), keyBefore);
}

TEST(fileio_InvalidLogRegistry, HiddenKeyComesBackWithItsValues) {
    FILEIOTEST::CRegistryValueOverride value(kAppKey, L"Application Path");
    ASSERT_TRUE(value.Set(L"C:\\kept\\"));
    {
        FILEIOTEST::CRegistryKeyHider hider(kAppKey);
        EXPECT_TRUE(hider.Hidden());
    }
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, KEY_READ | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    UTIL::unique_hkey owner(key);
    wchar_t text[32] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    EXPECT_EQ(::RegQueryValueExW(key, L"Application Path", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, L"C:\\kept\\");
}

}  // namespace
