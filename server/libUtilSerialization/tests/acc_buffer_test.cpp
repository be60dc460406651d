#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "UniqueHandle.h"
#include "util_acc_buffer.h"

namespace {

class TestableBuffer : public CAccBuffer {
public:
    void SetGrowBy(DWORD granule) { m_dwGrowBy = granule; }
    // Claims a block of `size` bytes, all in use, over a smaller real one.
    void PretendFull(BYTE* block, DWORD size) {
        m_pBuffer = block;
        m_bOwner = false;
        m_dwBufferSize = size;
        m_dwBytesUsed = size;
    }
    void Forget() {
        m_pBuffer = nullptr;
        m_dwBufferSize = 0;
        m_dwBytesUsed = 0;
    }
    void SetDeleteFile() { m_bDeleteFile = true; }
    void CloseStream() { m_pFile.reset(); }
};

// A file stream that cannot be opened, to show the switch failing whole.
class FailingOpenBuffer : public TestableBuffer {
public:
    int opens = 0;
    std::wstring lastPath;

protected:
    std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t* path) override {
        ++opens;
        lastPath = path;
        return nullptr;
    }
};

// A file stream on a device that is always full (Wine's drive Z: is the
// Unix root): it opens, and every write fails with "disk full".
class DiskFullBuffer : public TestableBuffer {
public:
    int opens = 0;
    std::wstring lastPath;

protected:
    std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t* path) override {
        lastPath = path;
        auto stream = std::make_unique<std::fstream>(std::filesystem::path(L"Z:\\dev\\full"),
                                                     std::ios::out | std::ios::binary);
        if (!stream->is_open()) return nullptr;
        ++opens;
        return stream;
    }
};

std::vector<BYTE> Pattern(size_t size, BYTE seed) {
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(seed + i * 7);
    return bytes;
}

std::vector<BYTE> ReadWholeFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

// "Local_Path" in the 32-bit view, as the buffer reads it; what was there
// before (value, or the key path) comes back when it goes.
class CScopedLocalPath32 {
public:
    CScopedLocalPath32() {
        const std::wstring path = kInformationKey;
        for (size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
            const std::wstring prefix = path.substr(0, end);
            UTIL::unique_hkey probe;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ | KEY_WOW64_32KEY,
                              probe.put()) != ERROR_SUCCESS) {
                m_firstCreated = prefix;
                break;
            }
            if (end == std::wstring::npos) break;
        }
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInformationKey, 0, nullptr, 0,
                        KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, m_key.put(), nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(m_key.get(), L"Local_Path", nullptr, &m_type, nullptr, &size) ==
            ERROR_SUCCESS) {
            m_previous.resize(size);
            m_existed = RegQueryValueExW(m_key.get(), L"Local_Path", nullptr, &m_type,
                                         m_previous.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~CScopedLocalPath32() {
        if (m_existed) {
            RegSetValueExW(m_key.get(), L"Local_Path", 0, m_type, m_previous.data(),
                           static_cast<DWORD>(m_previous.size()));
        } else {
            RegDeleteValueW(m_key.get(), L"Local_Path");
        }
        m_key.reset();
        if (m_firstCreated.empty()) return;
        const size_t slash = m_firstCreated.rfind(L'\\');
        UTIL::unique_hkey parent;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_firstCreated.substr(0, slash).c_str(), 0,
                          KEY_ALL_ACCESS | KEY_WOW64_32KEY, parent.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(parent.get(), m_firstCreated.substr(slash + 1).c_str());
    }
    CScopedLocalPath32(const CScopedLocalPath32&) = delete;
    CScopedLocalPath32& operator=(const CScopedLocalPath32&) = delete;

    bool Set(DWORD type, const void* data, DWORD size) {
        return RegSetValueExW(m_key.get(), L"Local_Path", 0, type, static_cast<const BYTE*>(data),
                              size) == ERROR_SUCCESS;
    }

private:
    static constexpr const wchar_t* kInformationKey =
        L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information";
    UTIL::unique_hkey m_key;
    std::wstring m_firstCreated;
    bool m_existed = false;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_previous;
};

// A "Local_Path" of another type names no folder: the body file goes to the
// usual temporary folder instead of failing the switch on every append.
TEST(AccBufferLocalPath, ValueOfAnotherTypeCountsAsMissing) {
    CScopedLocalPath32 localPath;
    const DWORD dot = 0x2E;  // "." if read as text
    ASSERT_TRUE(localPath.Set(REG_DWORD, &dot, sizeof(dot)));
    TestableBuffer buffer;
    buffer.SetDeleteFile();
    ASSERT_TRUE(buffer.CreateFileModeFile());
    const std::wstring path = buffer.FileName();
    EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path.size();
    EXPECT_TRUE(FileExists(path));
    buffer.Release();
    EXPECT_FALSE(FileExists(path));
}

TEST(AccBufferGrowth, GrowsByWholeGranulesAboveTheNeed) {
    CAccBuffer buffer;
    buffer.Append(Pattern(4, 1).data(), 4);
    EXPECT_EQ(buffer.BufferSize(), 1024u);

    CAccBuffer filled;
    auto first = Pattern(1000, 3);
    filled.Append(first.data(), 1000);
    ASSERT_EQ(filled.BufferSize(), 1024u);
    const BYTE* block = filled.Data();
    filled.Append(Pattern(24, 5).data(), 24);
    EXPECT_EQ(filled.BufferSize(), 1024u);
    EXPECT_EQ(filled.Data(), block);
    EXPECT_EQ(filled.BytesUsed(), 1024u);

    auto more = Pattern(1024, 9);
    filled.Append(more.data(), 1024);
    EXPECT_EQ(filled.BufferSize(), 3072u);
    EXPECT_EQ(filled.BytesUsed(), 2048u);
    EXPECT_EQ(0, memcmp(filled.Data(), first.data(), 1000));
    EXPECT_EQ(0, memcmp(filled.Data() + 1024, more.data(), 1024));
}

// A capacity past 4 GiB wrapped in 32 bits (the sum, or its rounding up to
// the granule) and allocated a block too small for the copy. It is refused
// before anything is allocated or copied; the buffer stays as it was. (Such
// a buffer is one that could not switch to a body file.)
TEST(AccBufferGrowth, GrowthPastFourGiBIsRefused) {
    struct Case {
        DWORD size;
        DWORD length;
    };
    for (const Case& c : {Case{0xFFFFFC00u, 0x1000u}, Case{0xFFFFF000u, 0xC00u}}) {
        BYTE small[16] = {};
        FailingOpenBuffer buffer;
        buffer.PretendFull(small, c.size);
        const std::vector<BYTE> bytes(c.length, 0x42);
        EXPECT_THROW(buffer.Append(bytes.data(), c.length), std::bad_alloc) << c.size;
        EXPECT_EQ(buffer.Data(), small);
        EXPECT_EQ(buffer.BufferSize(), c.size);
        EXPECT_EQ(buffer.BytesUsed(), c.size);
        buffer.Forget();
    }
}

TEST(AccBufferFileMode, SwitchesWhenCapacityIsExactlyTwoMiB) {
    TestableBuffer buffer;
    buffer.SetDeleteFile();
    auto head = Pattern(2096128, 11);
    buffer.Append(head.data(), static_cast<DWORD>(head.size()));
    ASSERT_EQ(buffer.BufferSize(), 2097152u);
    ASSERT_FALSE(buffer.IsFileMode());

    auto tail = Pattern(100, 13);
    buffer.Append(tail.data(), 100);
    ASSERT_TRUE(buffer.IsFileMode());
    EXPECT_EQ(buffer.BytesUsed(), head.size());
    std::wstring path = buffer.FileName();
    EXPECT_EQ(std::filesystem::path(path).filename().wstring().rfind(L"mst", 0), 0u);

    buffer.CloseStream();
    auto written = ReadWholeFile(path);
    ASSERT_EQ(written.size(), head.size() + tail.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), written.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), written.begin() + head.size()));
    DeleteFileW(path.c_str());
}

TEST(AccBufferFileMode, StaysInMemoryOneByteBelowTwoMiBEvenWhenCrossing) {
    TestableBuffer buffer;
    buffer.SetGrowBy(1);
    auto head = Pattern(2097150, 17);
    buffer.Append(head.data(), static_cast<DWORD>(head.size()));
    ASSERT_EQ(buffer.BufferSize(), 2097151u);
    buffer.Append(Pattern(10, 19).data(), 10);
    EXPECT_FALSE(buffer.IsFileMode());
    EXPECT_EQ(buffer.BytesUsed(), 2097160u);
    EXPECT_GT(buffer.BufferSize(), 2097152u);
}

TEST(AccBufferFileMode, FailedStreamOpenLeavesMemoryModeAndRetries) {
    FailingOpenBuffer buffer;
    buffer.Append(Pattern(2096128, 23).data(), 2096128);
    auto tail = Pattern(64, 29);
    buffer.Append(tail.data(), 64);

    EXPECT_EQ(buffer.opens, 1);
    EXPECT_FALSE(buffer.IsFileMode());
    EXPECT_STREQ(buffer.FileName(), L"");
    EXPECT_FALSE(FileExists(buffer.lastPath)) << "the empty temporary file must be deleted";
    EXPECT_EQ(buffer.BytesUsed(), 2096128u + 64u);
    EXPECT_EQ(0, memcmp(buffer.Data() + 2096128, tail.data(), 64));
    EXPECT_FALSE(buffer.CreateFileModeFile());

    buffer.Append(tail.data(), 64);
    EXPECT_EQ(buffer.opens, 3);
}

TEST(AccBufferFileMode, DiskFullAtTheSwitchLeavesMemoryModeWithEveryByte) {
    DiskFullBuffer buffer;
    const auto head = Pattern(2096128, 31);
    buffer.Append(head.data(), 2096128);
    const auto tail = Pattern(64, 37);
    buffer.Append(tail.data(), 64);

    ASSERT_EQ(buffer.opens, 1) << "the full device could not be opened";
    EXPECT_FALSE(buffer.IsFileMode());
    EXPECT_STREQ(buffer.FileName(), L"");
    EXPECT_FALSE(FileExists(buffer.lastPath)) << "the unwritten temporary file must be deleted";
    ASSERT_EQ(buffer.BytesUsed(), 2096128u + 64u);
    EXPECT_EQ(0, memcmp(buffer.Data(), head.data(), head.size()));
    EXPECT_EQ(0, memcmp(buffer.Data() + 2096128, tail.data(), 64));
}

// Access lists written through the platform call, "SID mask flags;" per
// entry, by file (the call itself is made too).
std::vector<std::pair<std::wstring, std::wstring>> g_writtenLists;

std::wstring DescribeList(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return L"no list";
    std::wstring text;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return L"bad entry";
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        wchar_t* sid = nullptr;
        if (!ConvertSidToStringSidW(&allowed->SidStart, &sid)) return L"bad sid";
        wchar_t numbers[32] = {};
        _snwprintf(numbers, 31, L" %08lX %u;", allowed->Mask,
                   static_cast<unsigned>(allowed->Header.AceFlags));
        text += sid;
        text += numbers;
        LocalFree(sid);
    }
    return text;
}

BOOL WINAPI RecordingSetFileSecurity(LPCWSTR path, SECURITY_INFORMATION parts,
                                     PSECURITY_DESCRIPTOR descriptor) {
    g_writtenLists.emplace_back(path, parts == DACL_SECURITY_INFORMATION
                                          ? DescribeList(descriptor)
                                          : L"other parts");
    return ::SetFileSecurityW(path, parts, descriptor);
}

// What the destructor leaves: the file with its bytes, given the four
// entries (Wine keeps no file access list, so what the destructor wrote is
// recorded at the platform call).
TEST(AccBufferFileMode, DestroyedBufferLeavesFileWithFourAccessEntries) {
    g_writtenLists.clear();
    g_pfnSetTempFileSecurity = RecordingSetFileSecurity;
    std::wstring path;
    {
        CAccBuffer buffer;
        buffer.Append("abcd", 4);
        ASSERT_TRUE(buffer.CreateFileModeFile());
        EXPECT_FALSE(buffer.CreateFileModeFile());
        buffer.Append("efgh", 4);
        path = buffer.FileName();
        EXPECT_TRUE(g_writtenLists.empty()) << "granted before the buffer let go of the file";
    }
    g_pfnSetTempFileSecurity = ::SetFileSecurityW;
    ASSERT_TRUE(FileExists(path));
    auto bytes = ReadWholeFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abcdefgh");
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {path, L"S-1-5-32-568 10000000 3;S-1-5-17 10000000 3;S-1-5-18 10000000 3;"
               L"S-1-1-0 10000000 3;"}};
    EXPECT_EQ(g_writtenLists, expected);
    DeleteFileW(path.c_str());
}

// Wine keeps no file DACL of its own, so the list is checked as it is built.
TEST(AccBufferFileMode, TempFileAccessListHasFourInheritableFullAccessEntries) {
    alignas(DWORD) BYTE aclBytes[1024];
    auto* dacl = reinterpret_cast<PACL>(aclBytes);
    DWORD added = 0;
    ASSERT_TRUE(BuildTempFileAccessList(dacl, sizeof(aclBytes), &added));
    EXPECT_EQ(added, 4u);
    std::wstring sids;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Mask, static_cast<DWORD>(GENERIC_ALL));
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        wchar_t* text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(&allowed->SidStart, &text));
        sids += text;
        sids += L";";
        LocalFree(text);
    }
    EXPECT_EQ(sids, L"S-1-5-32-568;S-1-5-17;S-1-5-18;S-1-1-0;");
}

TEST(AccBufferFileMode, ReleaseDeletesFileOnlyWhenAsked) {
    TestableBuffer buffer;
    buffer.SetDeleteFile();
    buffer.Append("x", 1);
    ASSERT_TRUE(buffer.CreateFileModeFile());
    std::wstring path = buffer.FileName();
    buffer.Release();
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(buffer.IsFileMode());
    EXPECT_STREQ(buffer.FileName(), L"");
    EXPECT_EQ(buffer.BufferSize(), 0u);
}

TEST(AccBufferAssign, CopiesMemoryContentsOnly) {
    CAccBuffer source;
    source.Append("hello", 5);
    CAccBuffer target;
    target.Append("old", 3);
    target = source;
    EXPECT_EQ(target.BufferSize(), 1024u);
    ASSERT_EQ(target.BytesUsed(), 5u);
    EXPECT_NE(target.Data(), source.Data());
    EXPECT_EQ(0, memcmp(target.Data(), "hello", 5));

    CAccBuffer empty;
    target = empty;
    EXPECT_EQ(target.Data(), nullptr);
    EXPECT_EQ(target.BufferSize(), 0u);
    EXPECT_FALSE(target.IsFileMode());
}
