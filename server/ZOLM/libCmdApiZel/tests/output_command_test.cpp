#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "UniqueHandle.h"
#include "cmzel_OutputCmd.h"

namespace {

// A client that connected, wrote and closed before the server got to
// ConnectNamedPipe leaves ERROR_NO_DATA; its bytes are still readable.
bool ClientHasConnected() {
    const DWORD error = GetLastError();
    return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

// A command manager stand-in: one connection, every pipe message kept apart.
class PipeServer {
public:
    PipeServer() {
        m_pipe.reset(
            CreateNamedPipeW(L"\\\\.\\pipe\\Global\\ZelModuleCommandManager", PIPE_ACCESS_INBOUND,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 65536, 0, nullptr));
        m_reader = std::thread([this] { Serve(); });
    }
    ~PipeServer() {
        if (m_reader.joinable()) m_reader.join();
    }
    bool Listening() const { return m_pipe.valid(); }
    void Wait() {
        if (m_reader.joinable()) m_reader.join();
    }

    std::vector<size_t> pieces;
    std::vector<BYTE> bytes;

private:
    void Serve() {
        if (!m_pipe) return;
        if (!ConnectNamedPipe(m_pipe.get(), nullptr) && !ClientHasConnected()) return;
        BYTE piece[65536];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(m_pipe.get(), piece, sizeof(piece), &got, nullptr)) break;
            pieces.push_back(got);
            bytes.insert(bytes.end(), piece, piece + got);
        }
    }

    UTIL::unique_handle m_pipe;
    std::thread m_reader;
};

}  // namespace

TEST(OutputCommand, SendsInPiecesOfAtMost1024AndTakesTheBlock) {
    PipeServer server;
    ASSERT_TRUE(server.Listening());
    CMsgSerializer message(L"CMD", 1);
    const DWORD fixed = message.GetBytesUsed();
    std::vector<BYTE> payload(1025 - fixed - 4, 0x5A);
    message.WriteBytes(payload.data(), static_cast<DWORD>(payload.size()));
    ASSERT_EQ(message.GetBytesUsed(), 1025u);
    const std::vector<BYTE> expected(message.Data(), message.Data() + 1025);

    EXPECT_TRUE(cmzel_OutputCommand(message));
    EXPECT_EQ(message.Data(), nullptr);
    EXPECT_EQ(message.GetBytesUsed(), 0u);
    EXPECT_EQ(message.BufferSize(), 0u);
    server.Wait();
    EXPECT_EQ(server.pieces, (std::vector<size_t>{1024, 1}));
    EXPECT_EQ(server.bytes, expected);

    CMsgSerializer decoded(nullptr, 1);
    decoded.Load(server.bytes.data(), static_cast<DWORD>(server.bytes.size()));
    EXPECT_EQ(decoded.CommandName(), L"CMD");
}

TEST(OutputCommand, WithoutCommandManagerTheMessageKeepsItsBytes) {
    CMsgSerializer message(L"CMD", 1);
    const DWORD used = message.GetBytesUsed();
    EXPECT_FALSE(cmzel_OutputCommand(message));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(message.GetBytesUsed(), used);
    EXPECT_NE(message.Data(), nullptr);
}
