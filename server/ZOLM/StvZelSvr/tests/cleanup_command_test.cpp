#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "UniqueHandle.h"
#include "cp_CCmdProtocolV2.h"
#include "zel_StvFcgi.h"

namespace {

// A client that connected, wrote and closed before the server got to
// ConnectNamedPipe leaves ERROR_NO_DATA; its bytes are still readable.
bool ClientHasConnected() {
    const DWORD error = GetLastError();
    return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

constexpr const wchar_t* kPipePath = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";

std::vector<BYTE> ReceiveOneMessage(HANDLE pipe) {
    std::vector<BYTE> bytes;
    if (!ConnectNamedPipe(pipe, nullptr) && !ClientHasConnected()) return bytes;
    BYTE piece[4096];
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ReadFile(pipe, piece, sizeof(piece), &got, nullptr);
        bytes.insert(bytes.end(), piece, piece + got);
        if (!ok && GetLastError() != ERROR_MORE_DATA) break;
    }
    return bytes;
}

}  // namespace

TEST(CleanupSampleSubmissionFolder, DeliversADecodableCleanupCommand) {
    UTIL::unique_handle pipe(CreateNamedPipeW(kPipePath, PIPE_ACCESS_INBOUND,
                                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0,
                                              65536, 0, nullptr));
    ASSERT_TRUE(pipe.valid());
    std::vector<BYTE> received;
    std::thread server([&] { received = ReceiveOneMessage(pipe.get()); });
    EXPECT_TRUE(CleanupSampleSubmissionFolder());
    server.join();

    CMsgSerializer decoded(nullptr, 1);
    decoded.Load(received.data(), static_cast<DWORD>(received.size()));
    EXPECT_EQ(decoded.CommandName(), L"CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER");
    EXPECT_EQ(received.size(), 110 + (decoded.MessageId().size() + 1) * 2);
    EXPECT_EQ(decoded.MessageId().rfind(L"0105CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER", 0), 0u);
    EXPECT_EQ(decoded.ControlBlock().flags, 0u);
    EXPECT_THROW(decoded.PeekLength(), CIPCMsgBufferException) << "no parameters";
}

TEST(CleanupSampleSubmissionFolder, FailsWithoutCommandManager) {
    EXPECT_FALSE(CleanupSampleSubmissionFolder());
}
