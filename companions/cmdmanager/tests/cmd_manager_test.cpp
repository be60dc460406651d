#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "UniqueHandle.h"
#include "cmd_manager.h"
#include "cmzel_OutputCmd.h"

namespace {

void SendRaw(const std::vector<BYTE>& bytes) {
    UTIL::unique_handle pipe;
    for (int attempt = 0; attempt < 600 && !pipe; ++attempt) {
        pipe.reset(
            CreateFileW(CMDMGR::kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) WaitNamedPipeW(CMDMGR::kPipePath, 100);
    }
    ASSERT_TRUE(pipe.valid());
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::wstring ReadAll(FILE* file) {
    rewind(file);
    std::wstring text;
    wchar_t line[1024];
    while (fgetws(line, 1024, file)) text += line;
    return text;
}

}  // namespace

TEST(CommandManager, DecodesParametersOfAMessage) {
    CMsgSerializer message(L"CMD_X", 1);
    message.WriteBytes("\x01\x02", 2);
    std::vector<BYTE> bytes(message.Data(), message.Data() + message.GetBytesUsed());
    std::wstring text;
    ASSERT_TRUE(CMDMGR::DescribeMessage(bytes, text));
    EXPECT_NE(text.find(L"command: CMD_X"), std::wstring::npos);
    EXPECT_NE(text.find(L"id: " + message.MessageId()), std::wstring::npos);
    EXPECT_NE(text.find(L"param[0] (2 bytes): 01 02"), std::wstring::npos);

    bytes.pop_back();
    EXPECT_FALSE(CMDMGR::DescribeMessage(bytes, text));
    EXPECT_NE(text.find(L"garbled"), std::wstring::npos);
}

TEST(CommandManager, SkipsGarbageAndKeepsServingThroughARealPipe) {
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    std::thread server([out] { CMDMGR::ServeCommandManager(CMDMGR::kPipePath, 2, out); });
    SendRaw({0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3});

    CMsgSerializer cleanup(L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER", 1);
    const std::wstring id = cleanup.MessageId();
    bool sent = false;
    for (int attempt = 0; attempt < 600 && !sent; ++attempt) {
        sent = cmzel_OutputCommand(cleanup);
        if (!sent) WaitNamedPipeW(CMDMGR::kPipePath, 100);
    }
    EXPECT_TRUE(sent);
    server.join();
    const std::wstring text = ReadAll(out);
    fclose(out);
    EXPECT_NE(text.find(L"garbled message of 7 bytes"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"command: CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER"), std::wstring::npos)
        << text;
    EXPECT_NE(text.find(id), std::wstring::npos) << text;
}

TEST(CommandManager, DecodesABodyFileAndDeletesIt) {
    CMsgSerializer message(L"CMD_BIG", CMsgSerializer::kModeFile);
    std::vector<BYTE> body(3 << 20, 0xAB);
    message.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
    const std::wstring bodyFile = message.FileName();
    ASSERT_FALSE(bodyFile.empty());
    message.PrepareForSend();
    std::vector<BYTE> bytes(message.Data(), message.Data() + message.GetBytesUsed());
    std::wstring text;
    ASSERT_TRUE(CMDMGR::DescribeMessage(bytes, text));
    EXPECT_NE(text.find(L"command: CMD_BIG"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"body file: " + bodyFile), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"param[0] (3145728 bytes): AB AB"), std::wstring::npos) << text;
    EXPECT_EQ(GetFileAttributesW(bodyFile.c_str()), INVALID_FILE_ATTRIBUTES);
}

namespace {

void PutRecord(std::vector<BYTE>& out, const void* bytes, DWORD length) {
    const BYTE* size = reinterpret_cast<const BYTE*>(&length);
    out.insert(out.end(), size, size + 4);
    const BYTE* data = static_cast<const BYTE*>(bytes);
    out.insert(out.end(), data, data + length);
}

// Version, a control record with the given flags, name and identifier.
std::vector<BYTE> Header(DWORD flags, const void* name, DWORD nameBytes) {
    std::vector<BYTE> bytes;
    const DWORD version = 1;
    PutRecord(bytes, &version, 4);
    MsgControlBlock control = {};
    control.flags = flags;
    PutRecord(bytes, &control, sizeof(control));
    PutRecord(bytes, name, nameBytes);
    PutRecord(bytes, L"ID", 6);
    return bytes;
}

}  // namespace

// Messages a sender should never make: each is described or reported as
// garbled, and the manager goes on.
TEST(CommandManager, MalformedMessagesAreDescribedOrReportedNeverFatal) {
    std::wstring text;
    EXPECT_FALSE(CMDMGR::DescribeMessage({}, text));
    EXPECT_NE(text.find(L"garbled message of 0 bytes"), std::wstring::npos) << text;

    // A name of three bytes: one and a half characters, no terminator. The
    // last character is taken for the terminator, as always: "A" is gone too.
    EXPECT_TRUE(CMDMGR::DescribeMessage(Header(0, "A\0B", 3), text));
    EXPECT_NE(text.find(L"command: \n"), std::wstring::npos) << text;

    // A body file that does not exist: the command is still named.
    std::vector<BYTE> missing = Header(2, L"CMD_MISSING", 24);
    const std::wstring nowhere = L"C:\\zel-no-such-folder\\mstmp0.tmp";
    PutRecord(missing, nowhere.c_str(), static_cast<DWORD>((nowhere.size() + 1) * 2));
    EXPECT_TRUE(CMDMGR::DescribeMessage(missing, text));
    EXPECT_NE(text.find(L"command: CMD_MISSING"), std::wstring::npos) << text;

    // The body-file flag without the path record.
    EXPECT_FALSE(CMDMGR::DescribeMessage(Header(2, L"CMD_NOPATH", 22), text));
    EXPECT_NE(text.find(L"garbled"), std::wstring::npos) << text;
}

// A body file whose message names a body file again (itself): read once,
// not followed round and round until the stack runs out.
TEST(CommandManager, BodyFileNamingItselfIsReadOnceAndDeleted) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempFileNameW(folder, L"mst", 0, file));
    std::vector<BYTE> bytes = Header(2, L"CMD_LOOP", 18);
    const std::wstring self = file;
    PutRecord(bytes, self.c_str(), static_cast<DWORD>((self.size() + 1) * 2));
    FILE* body = _wfopen(file, L"wb");
    ASSERT_NE(body, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), body);
    fclose(body);
    std::wstring text;
    EXPECT_TRUE(CMDMGR::DescribeMessage(bytes, text));
    EXPECT_NE(text.find(L"command: CMD_LOOP"), std::wstring::npos) << text;
    EXPECT_EQ(GetFileAttributesW(file), INVALID_FILE_ATTRIBUTES) << "the body file is deleted";
    DeleteFileW(file);
}
