#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "util_ipc_msg_buffer.h"

namespace {

void AppendRecord(CAccBuffer& buffer, const std::string& bytes) {
    DWORD length = static_cast<DWORD>(bytes.size());
    buffer.Append(&length, 4);
    buffer.Append(bytes.data(), length);
}

// A window of `inMemory` bytes whose message continues in a file.
class FileBackedBuffer : public CIPCMsgBuffer {
public:
    FileBackedBuffer(const std::string& message, size_t inMemory) {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        wchar_t file[MAX_PATH] = {};
        GetTempFileNameW(folder, L"ipc", 0, file);
        m_path = file;
        std::ofstream(std::filesystem::path(m_path), std::ios::binary)
            .write(message.data() + inMemory,
                   static_cast<std::streamsize>(message.size() - inMemory));
        Append(message.data(), static_cast<DWORD>(inMemory));
        m_pFile = std::make_unique<std::fstream>(std::filesystem::path(m_path),
                                                 std::ios::in | std::ios::binary);
        wcscpy(m_szFileName, file);
        m_bDeleteFile = true;
    }

private:
    std::wstring m_path;
};

template <typename Read>
int CodeRaisedBy(Read read) {
    try {
        read();
    } catch (const CIPCMsgBufferException& error) {
        return error.GetCode();
    }
    return -1;
}

}  // namespace

TEST(IPCMsgBufferReads, EightBytesGiveTwoDWordsThenOutOfRange) {
    CIPCMsgBuffer buffer;
    DWORD values[2] = {0x11223344, 7};
    buffer.Append(values, 8);
    DWORD out = 0;
    buffer.ReadDWord(out);
    EXPECT_EQ(out, 0x11223344u);
    buffer.ReadDWord(out);
    EXPECT_EQ(out, 7u);
    EXPECT_EQ(buffer.LastPosition(), 4u);
    try {
        buffer.ReadDWord(out);
        FAIL() << "third read must raise";
    } catch (const CIPCMsgBufferException& error) {
        EXPECT_EQ(error.GetCode(), 0);
        EXPECT_EQ(error.GetCodeText(), L"Out of range");
        EXPECT_EQ(error.GetKind(), 4);
        EXPECT_EQ(error.GetErrorCode(), 0);
    }
}

TEST(IPCMsgBufferReads, ReadsWithoutBlockRaiseInvalidBuffer) {
    CIPCMsgBuffer buffer;
    DWORD out = 0;
    const BYTE* record = nullptr;
    EXPECT_EQ(CodeRaisedBy([&] { buffer.PeekLength(); }), 1);
    EXPECT_EQ(CodeRaisedBy([&] { buffer.ReadDWord(out); }), 1);
    EXPECT_EQ(CodeRaisedBy([&] { buffer >> record; }), 1);
}

TEST(IPCMsgBufferReads, RecordsComeBackInPlace) {
    CIPCMsgBuffer buffer;
    AppendRecord(buffer, "first");
    AppendRecord(buffer, "");
    AppendRecord(buffer, "third!");
    EXPECT_EQ(*buffer.PeekLength(), 5u);
    EXPECT_EQ(buffer.CurrentPosition(), 0u);
    const BYTE* record = nullptr;
    buffer >> record;
    EXPECT_EQ(record, buffer.Data() + 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record), 5), "first");
    buffer >> record;
    EXPECT_EQ(*buffer.PeekLength(), 6u);
    buffer >> record;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record), 6), "third!");
    EXPECT_EQ(CodeRaisedBy([&] { buffer.PeekLength(); }), 0);
}

TEST(IPCMsgBufferReads, OversizedRecordRaisesOutOfRangeAfterLengthWord) {
    CIPCMsgBuffer buffer;
    DWORD length = 100;
    buffer.Append(&length, 4);
    buffer.Append("short", 5);
    const BYTE* record = nullptr;
    EXPECT_EQ(CodeRaisedBy([&] { buffer >> record; }), 0);
    EXPECT_EQ(buffer.CurrentPosition(), 4u);

    CIPCMsgBuffer huge;
    length = 0xFFFFFFFF;
    huge.Append(&length, 4);
    EXPECT_EQ(CodeRaisedBy([&] { huge >> record; }), 0);
}

TEST(IPCMsgBufferRefill, ReadAcrossMemoryEndContinuesFromFile) {
    std::string message;
    for (int i = 0; i < 40; ++i) {
        std::string body(static_cast<size_t>(i * 37 % 300), static_cast<char>('a' + i % 26));
        DWORD length = static_cast<DWORD>(body.size());
        message.append(reinterpret_cast<const char*>(&length), 4);
        message += body;
    }
    FileBackedBuffer buffer(message, 50);
    const BYTE* record = nullptr;
    for (int i = 0; i < 40; ++i) {
        std::string expected(static_cast<size_t>(i * 37 % 300), static_cast<char>('a' + i % 26));
        buffer >> record;
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(record), expected.size()), expected)
            << "record " << i;
        EXPECT_LT(buffer.CurrentPosition(), 700u);
    }
    EXPECT_EQ(CodeRaisedBy([&] { buffer >> record; }), 0);
}

TEST(IPCMsgBufferRefill, FileEndingInsideRecordRaises) {
    std::string message;
    DWORD length = 5000;
    message.append(reinterpret_cast<const char*>(&length), 4);
    message += std::string(1000, 'z');
    FileBackedBuffer buffer(message, 10);
    const BYTE* record = nullptr;
    EXPECT_EQ(CodeRaisedBy([&] { buffer >> record; }), 0);
}

TEST(IPCMsgBufferException, DescriptionAndCodeTexts) {
    CIPCMsgBufferException error(1, 42);
    EXPECT_EQ(error.GetMessage(), L"");
    EXPECT_EQ(error.GetDescription(), L", (1), [util_ipc_msg_buffer.cpp|42]");
    EXPECT_EQ(error.GetCodeText(), L"Invalid buffer");
    EXPECT_EQ(CIPCMsgBufferException(2, 1).GetCodeText(), L"Not owner");
    EXPECT_EQ(CIPCMsgBufferException(5, 1).GetCodeText(), L"");

    OS::CException plain(3, 1, L"text", L"", 9);
    EXPECT_EQ(plain.GetDescription(), L"text");
    plain.SetMessage(nullptr);
    EXPECT_EQ(plain.GetMessage(), L"");
}
