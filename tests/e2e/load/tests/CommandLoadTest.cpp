// 10,000 commands in a row to the companion command manager, small ones and
// ones whose body went to a file: all arrive and decode, the receiver leaves
// no body file behind, and the sender's handle count does not grow.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "cmzel_OutputCmd.h"

namespace {

constexpr int kCommands = 10000;
constexpr int kFileBodyEvery = 200;  // 50 file-bodied commands of 2 MiB + 1
constexpr DWORD kFileBodyBytes = (2u << 20) + 1;
constexpr wchar_t kCommandPipe[] = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";

int CountBodyFiles() {
    const std::wstring pattern = ZELTEST::TempFilePath(L"mstmp*");
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    do ++count;
    while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

bool SendCommand(int index) {
    const std::wstring name = L"ZEL_LOAD_" + std::to_wstring(index);
    const bool fileBody = index % kFileBodyEvery == 0;
    CMsgSerializer message(name.c_str(), fileBody ? CMsgSerializer::kModeFile : 1);
    std::vector<BYTE> body(fileBody ? kFileBodyBytes : 64 + index % 512,
                           static_cast<BYTE>(index));
    message.WriteBytes(body.data(), static_cast<DWORD>(body.size()));
    return cmzel_OutputCommand(message);
}

int CountOccurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(CommandLoad, TenThousandCommandsArriveDecodedWithNothingLeftBehind) {
    const int bodyFilesBefore = CountBodyFiles();
    const std::wstring output = ZELTEST::TempFilePath(L"zel_command_load.txt");
    ZELTEST::CChildProcess manager;
    ASSERT_TRUE(manager.Start(L"\"" CMD_MANAGER_EXE L"\" " + std::to_wstring(kCommands), output));
    ASSERT_TRUE(ZELTEST::WaitForPipe(kCommandPipe, 30000));

    // The first command sets up what the process keeps (pipe client state,
    // trace identity); count handles after it.
    ASSERT_TRUE(SendCommand(1));
    const DWORD handlesBefore = HandleCount();
    int failed = 0;
    std::map<DWORD, int> failuresByError;
    for (int index = 2; index <= kCommands; ++index) {
        if (SendCommand(index)) continue;
        ++failed;
        ++failuresByError[GetLastError()];
    }
    const DWORD handlesAfter = HandleCount();
    const bool managerEnded = manager.WaitForExit(120000);

    const std::string text = ZELTEST::ReadWholeFile(output);
    DeleteFileW(output.c_str());
    std::ostringstream errors;
    for (const auto& [error, count] : failuresByError) errors << " error " << error << " x" << count;
    EXPECT_EQ(failed, 0) << "failed sends:" << errors.str();
    EXPECT_TRUE(managerEnded);
    EXPECT_EQ(CountOccurrences(text, "command: ZEL_LOAD_"), kCommands);
    EXPECT_EQ(CountOccurrences(text, "garbled"), 0);
    EXPECT_EQ(CountOccurrences(text, "body file: "), kCommands / kFileBodyEvery);
    // Spot checks that names and bodies travelled intact (the manager writes
    // text mode, so lines end in CR LF).
    EXPECT_NE(text.find("command: ZEL_LOAD_9999\r\n"), std::string::npos);
    EXPECT_NE(text.find("param[0] (335 bytes): 0F 0F 0F"), std::string::npos);
    EXPECT_NE(text.find("command: ZEL_LOAD_10000\r\n"), std::string::npos);
    EXPECT_NE(text.find("param[0] (2097153 bytes): 10 10 10"), std::string::npos);
    EXPECT_EQ(CountBodyFiles(), bodyFilesBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
}
