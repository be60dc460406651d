#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CPipeClient.h"
#include "LogPipeListener.h"
#include "UniqueHandle.h"

namespace {

constexpr wchar_t kTestPipe[] = L"zel_test_pipeclient";

TEST(CPipeClient, LargeSendGoesOutInPiecesOf1024Bytes) {
    ZELTEST::CLogPipeListener listener(kTestPipe);
    ASSERT_TRUE(listener.Start());
    std::vector<BYTE> data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
    {
        CPipeClient client;
        ASSERT_TRUE(client.Connect(kTestPipe));
        EXPECT_STREQ(client.PipePath(), L"\\\\.\\pipe\\zel_test_pipeclient");
        DWORD bytes = 3000;
        ASSERT_TRUE(client.Send(data.data(), &bytes));
        EXPECT_EQ(bytes, 3000u);
    }
    ASSERT_TRUE(listener.WaitForCount(1));
    const auto records = listener.Records();
    EXPECT_EQ(records[0].messageSizes, (std::vector<DWORD>{1024, 1024, 952}));
    EXPECT_EQ(records[0].bytes, data);
}

TEST(CPipeClient, ZeroBytesWriteNothingAndSucceed) {
    ZELTEST::CLogPipeListener listener(kTestPipe);
    ASSERT_TRUE(listener.Start());
    CPipeClient client;
    ASSERT_TRUE(client.Connect(kTestPipe));
    DWORD bytes = 0;
    EXPECT_TRUE(client.Send("", &bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST(CPipeClient, MissingPipeFailsWithFileNotFound) {
    CPipeClient client;
    EXPECT_FALSE(client.Connect(L"zel_test_nobody_listens"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// One instance only: while a first client holds it, a second one must wait
// and get the instance once the server is free again.
TEST(CPipeClient, BusyPipeIsWaitedFor) {
    const wchar_t* path = L"\\\\.\\pipe\\zel_test_busy";
    UTIL::unique_handle server(::CreateNamedPipeW(
        path, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
        4096, 60000, nullptr));
    ASSERT_TRUE(server);
    CPipeClient first;
    ASSERT_TRUE(first.Connect(L"zel_test_busy"));
    ::ConnectNamedPipe(server.get(), nullptr);  // already connected: returns at once

    UTIL::unique_handle secondDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> secondConnected{false};
    std::thread second([&] {
        CPipeClient client;
        secondConnected = client.Connect(L"zel_test_busy");
        ::SetEvent(secondDone.get());
    });
    // Still busy: the second client must not have finished.
    EXPECT_EQ(::WaitForSingleObject(secondDone.get(), 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    ::DisconnectNamedPipe(server.get());
    ::ConnectNamedPipe(server.get(), nullptr);  // takes the waiting client
    EXPECT_EQ(::WaitForSingleObject(secondDone.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    second.join();
    EXPECT_TRUE(secondConnected);
}

}  // namespace
