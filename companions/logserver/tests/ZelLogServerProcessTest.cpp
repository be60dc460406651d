#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "ProductFolder.h"
#include "SharedWord.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kPipePath[] = L"\\\\.\\pipe\\zel_test_logserver_exe";

// Opens the pipe once the server listens (it starts in another process).
UTIL::unique_handle OpenWhenListening() {
    for (int attempt = 0; attempt < 600; ++attempt) {
        UTIL::unique_handle pipe(
            ::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe) return pipe;
        if (::GetLastError() == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(kPipePath, NMPWAIT_USE_DEFAULT_WAIT);
        } else {
            ::Sleep(100);
        }
    }
    return UTIL::unique_handle();
}

void Write(const std::wstring& text, bool withZero) {
    UTIL::unique_handle pipe = OpenWhenListening();
    ASSERT_TRUE(pipe);
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>((text.size() + (withZero ? 1 : 0)) * sizeof(wchar_t));
    ASSERT_TRUE(::WriteFile(pipe.get(), text.c_str(), bytes, &written, nullptr));
}

TEST(ZelLogServerProcess, HoldsTheLevelWordSkipsBadInputAndAppendsGoodRecords) {
    ZELTEST::CProductFolder folder(L"logserver_exe");
    const std::wstring logFile = folder.Root() + L"records.log";
    const std::wstring command = L"\"" + ZELTEST::WinePathOf(ZELLOGSERVER_EXE) +
                                 L"\" --pipe zel_test_logserver_exe --count 1 --level 0x00010007 "
                                 L"--log \"" +
                                 logFile + L"\"";
    ZELTEST::ProcessResult result;
    std::thread server([&] { result = ZELTEST::RunProcess(command, folder.Root(), 120000); });

    Write(L"LOG_WRITE\t1\t2", true);                          // too few fields: refused
    Write(L"LOG_WRITE\t1\t2\t3\t73\ts.cpp\t4\thalf", false);  // no terminator: refused
    ZELTEST::CSharedWord word;
    EXPECT_EQ(word.Get(), 0x00010007u);  // set before the pipe was opened, held while running
    Write(L"LOG_WRITE\t1700000000\t2\t3\t73\tC:\\src\\s.cpp\t4\t[T][x.exe]good", true);
    server.join();
    word.Set(0);

    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    UTIL::unique_handle file(::CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    char content[4096] = {};
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(file.get(), content, sizeof(content) - 1, &read, nullptr));
    const std::string text(content, read);
    EXPECT_NE(text.find(" pid=2 tid=3 I s.cpp:4 [T][x.exe]good\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("half"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

}  // namespace
