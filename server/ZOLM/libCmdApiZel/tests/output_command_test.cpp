#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
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

namespace {

// Takes the first `accepted` bytes and then no more, as a disk that fills up;
// nothing reaches the body file on disk.
class CFillingBuffer : public std::streambuf {
public:
    explicit CFillingBuffer(size_t accepted) : m_left(accepted) {}

protected:
    std::streamsize xsputn(const char*, std::streamsize count) override {
        const std::streamsize taken = count < static_cast<std::streamsize>(m_left)
                                          ? count
                                          : static_cast<std::streamsize>(m_left);
        m_left -= static_cast<size_t>(taken);
        m_written += taken;
        return taken;
    }
    int_type overflow(int_type c) override {
        if (m_left == 0) return traits_type::eof();
        --m_left;
        ++m_written;
        return c;
    }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
        return pos_type(m_written);
    }

private:
    size_t m_left;
    std::streamsize m_written = 0;
};

class CFillingStream : public std::fstream {
public:
    explicit CFillingStream(size_t accepted) : m_buffer(accepted) { std::ios::rdbuf(&m_buffer); }

private:
    CFillingBuffer m_buffer;
};

class CBodyFileFillsUp : public CMsgSerializer {
public:
    explicit CBodyFileFillsUp(size_t accepted) : CMsgSerializer(L"CMD", 1), m_accepted(accepted) {}

protected:
    std::unique_ptr<std::fstream> OpenFileModeStream(const wchar_t*) override {
        return std::make_unique<CFillingStream>(m_accepted);
    }

private:
    size_t m_accepted;
};

}  // namespace

// The body file took part of the message and then failed, and what it took
// cannot be read back: the message has lost bytes. It fails as a send, and
// nothing at all reaches the command manager (not even a connection).
TEST(OutputCommand, MessageThatLostBytesToItsBodyFileIsNotSent) {
    PipeServer server;
    ASSERT_TRUE(server.Listening());
    CBodyFileFillsUp message(4096);
    ASSERT_TRUE(message.CreateFileModeFile());
    const std::vector<BYTE> parameter(3000, 0x11);
    ASSERT_TRUE(message.WriteBytes(parameter.data(), 3000));
    ASSERT_FALSE(message.IsCorrupt());
    ASSERT_TRUE(message.WriteBytes(parameter.data(), 3000));
    EXPECT_TRUE(message.IsCorrupt());
    EXPECT_FALSE(message.IsFileMode());

    EXPECT_FALSE(cmzel_OutputCommand(message));
    // The body file on disk is shorter than what was written to it.
    EXPECT_EQ(message.CorruptError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    {
        // The pipe's one instance is still free: the test's own connection
        // is the only one the server sees, and it writes nothing.
        UTIL::unique_handle probe(CreateFileW(L"\\\\.\\pipe\\Global\\ZelModuleCommandManager",
                                              GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
        EXPECT_TRUE(probe.valid()) << GetLastError();
    }
    server.Wait();
    EXPECT_TRUE(server.bytes.empty());

    // A fresh message is whole again.
    message.Reset();
    EXPECT_FALSE(message.IsCorrupt());
}
