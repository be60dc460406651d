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
