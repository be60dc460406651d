// The force-integrity characteristic of a library image, read from the file,
// and the path of the module holding the verifier.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileIoTestSupport.h"
#include "multiplesigncheck.h"

namespace {

using FILEIOTEST::Fixture;

class Image : public ::testing::Test {
protected:
    void TearDown() override { ::DeleteFileW(Scratch().c_str()); }

    static std::wstring Scratch() { return FILEIOTEST::ExeFolder() + L"fileio-image.dll"; }

    // A copy of the force-integrity provider changed by `edit`.
    static bool WriteEditedProvider(void (*edit)(std::vector<BYTE>&)) {
        std::vector<BYTE> bytes = FILEIOTEST::ReadWholeFile(Fixture(L"korvalis-karvelo.dll"));
        if (bytes.size() < 0x400) return false;
        edit(bytes);
        return FILEIOTEST::WriteWholeFile(Scratch(), bytes);
    }

    static LONG& NtHeadersOffset(std::vector<BYTE>& bytes) {
        return reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data())->e_lfanew;
    }
    static IMAGE_NT_HEADERS64& NtHeaders(std::vector<BYTE>& bytes) {
        return *reinterpret_cast<IMAGE_NT_HEADERS64*>(bytes.data() + NtHeadersOffset(bytes));
    }

    FILEIOTEST::CTraceCapture m_trace;
};
using fileio_Image = Image;

TEST_F(fileio_Image, ForceIntegrityBuildIsRecognised) {
    EXPECT_TRUE(IsIntegrityCheckEnabled(Fixture(L"korvalis-karvelo.dll").c_str()));
    EXPECT_FALSE(IsIntegrityCheckEnabled(Fixture(L"korvalis-noforceinteg.dll").c_str()));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - << 1"));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - << 0"));
}

TEST_F(fileio_Image, ThirtyTwoBitHeaderIsReadAsSuch) {
    // A PE32 optional header keeps DllCharacteristics at the same offset.
    ASSERT_TRUE(WriteEditedProvider([](std::vector<BYTE>& bytes) {
        NtHeaders(bytes).OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    }));
    EXPECT_TRUE(IsIntegrityCheckEnabled(Scratch().c_str()));
}

TEST_F(fileio_Image, UnknownOptionalHeaderMagicIsRefused) {
    ASSERT_TRUE(WriteEditedProvider(
        [](std::vector<BYTE>& bytes) { NtHeaders(bytes).OptionalHeader.Magic = 0x107; }));
    EXPECT_FALSE(IsIntegrityCheckEnabled(Scratch().c_str()));
    const FILEIOTEST::TraceLine* line =
        m_trace.Find(L"IsIntegrityCheckEnabled - Unrecognized platform type: 107");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
}

TEST_F(fileio_Image, HeadersPointingPastTheFileAreRefusedWithoutReadingThere) {
    ASSERT_TRUE(
        WriteEditedProvider([](std::vector<BYTE>& bytes) { NtHeadersOffset(bytes) = 0x7FFFFF00; }));
    EXPECT_FALSE(IsIntegrityCheckEnabled(Scratch().c_str()));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - failed to ImageNtHeader, err=[193]"));
}

TEST_F(fileio_Image, FileThatIsNoImageIsRefused) {
    ASSERT_TRUE(FILEIOTEST::WriteWholeFile(Scratch(), std::vector<BYTE>(4096, 'x')));
    EXPECT_FALSE(IsIntegrityCheckEnabled(Scratch().c_str()));
    EXPECT_TRUE(m_trace.Contains(L"IsIntegrityCheckEnabled - failed to ImageNtHeader"));
}

TEST_F(fileio_Image, EmptyFileCannotBeMapped) {
    ASSERT_TRUE(FILEIOTEST::WriteWholeFile(Scratch(), {}));
    EXPECT_FALSE(IsIntegrityCheckEnabled(Scratch().c_str()));
    EXPECT_TRUE(m_trace.Contains(
        L"IsIntegrityCheckEnabled - Failed to create file mapping, Windows error code: "));
}

TEST_F(fileio_Image, MissingFileIsRefused) {
    const std::wstring path = Fixture(L"missing.dll");
    EXPECT_FALSE(IsIntegrityCheckEnabled(path.c_str()));
    const FILEIOTEST::TraceLine* line = m_trace.Find(
        L"IsIntegrityCheckEnabled - Failed to open file: " + path + L", Windows error code=[2]");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 'E');
}

TEST(fileio_ModulePath, IsTheModuleHoldingTheCode) {
    // The verifier is linked into this executable.
    wchar_t expected[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, expected, MAX_PATH);
    wchar_t path[MAX_PATH] = {};
    EXPECT_TRUE(GetCurrentModulePath(path, MAX_PATH));
    EXPECT_STREQ(path, expected);
}

TEST(fileio_ModulePath, BufferTooSmallIsAFailureNotACutPath) {
    FILEIOTEST::CTraceCapture trace;
    wchar_t path[8] = {L'#'};
    EXPECT_FALSE(GetCurrentModulePath(path, 8));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(path[0], L'\0');
    EXPECT_TRUE(trace.Contains(
        L"GetCurrentModulePath - Failed to get module file name, Windows error code: 7a"));
}

}  // namespace
