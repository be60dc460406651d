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

// Fails its first `failures` writes with the given error, then writes.
class CFailingWrites : public CPipeClient {
public:
    CFailingWrites(DWORD failures, DWORD error) : m_failures(failures), m_error(error) {}
    DWORD attempts = 0;

protected:
    BOOL WritePiece(const BYTE* piece, DWORD bytes, DWORD* written) override {
        if (attempts++ < m_failures) {
            ::SetLastError(m_error);
            return FALSE;
        }
        return CPipeClient::WritePiece(piece, bytes, written);
    }

private:
    DWORD m_failures;
    DWORD m_error;
};

// Out of pipe quota, a piece is written again: 8 times at once, then 40
// times after a pause of 50 ms each; then the send fails with that error.
// Any other error fails the send at once.
TEST(CPipeClient, OutOfResourcesRewritesAreBounded) {
    constexpr DWORD kRewrites = CPipeClient::kImmediateRewrites + CPipeClient::kPausedRewrites;
    struct Case {
        DWORD failures;
        DWORD error;
        bool sent;
        DWORD attempts;
    };
    const Case cases[] = {
        {kRewrites, ERROR_NO_SYSTEM_RESOURCES, true, kRewrites + 1},
        {0xFFFFFFFF, ERROR_NO_SYSTEM_RESOURCES, false, kRewrites + 1},
        {0xFFFFFFFF, ERROR_BROKEN_PIPE, false, 1},
    };
    for (const Case& c : cases) {
        ZELTEST::CLogPipeListener listener(kTestPipe);
        ASSERT_TRUE(listener.Start());
        {
            CFailingWrites client(c.failures, c.error);
            ASSERT_TRUE(client.Connect(kTestPipe));
            DWORD bytes = 5;
            const ULONGLONG before = ::GetTickCount64();
            EXPECT_EQ(client.Send("piece", &bytes), c.sent) << c.failures << " " << c.error;
            const DWORD error = ::GetLastError();
            const ULONGLONG took = ::GetTickCount64() - before;
            if (!c.sent) {
                EXPECT_EQ(error, c.error);
            }
            EXPECT_EQ(client.attempts, c.attempts) << c.failures << " " << c.error;
            EXPECT_EQ(bytes, 5u);
            // The pauses come only after the immediate rewrites.
            if (c.attempts > 1) {
                EXPECT_GE(took, CPipeClient::kPausedRewrites * CPipeClient::kRewritePauseMs - 50);
            }
        }
        if (c.sent) {
            ASSERT_TRUE(listener.WaitForCount(1));
            EXPECT_EQ(listener.Records()[0].bytes, (std::vector<BYTE>{'p', 'i', 'e', 'c', 'e'}));
        }
    }
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
