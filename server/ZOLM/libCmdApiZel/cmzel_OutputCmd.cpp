#include "cmzel_OutputCmd.h"

#include <memory>

#include "CPipeClient.h"
#include "DebugTrace.h"

bool cmzel_OutputCommand(CMsgSerializer& message, HANDLE stopEvent) {
    // A message that lost bytes on the way to its body file would reach the
    // command manager with a hole: it fails as a send, and nothing is sent.
    if (message.IsCorrupt()) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - pipe [%s] send failed!. err=[%d]",
                    L"cmzel_OutputCommand", kCommandManagerPipe,
                    static_cast<int>(message.CorruptError()));
        SetLastError(message.CorruptError());
        return false;
    }
    CPipeClient client(kCommandPipeBounds, stopEvent);
    if (!client.Connect(kCommandManagerPipe)) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - init pipe client [%s] failed! err=[%d]",
                    L"cmzel_OutputCommand", kCommandManagerPipe, static_cast<int>(GetLastError()));
        return false;
    }
    message.PrepareForSend();
    DWORD length = message.GetBytesUsed();
    const std::unique_ptr<BYTE[]> block(message.DetachBlock());
    if (!client.Send(block.get(), &length)) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - pipe [%s] send failed!. err=[%d]",
                    L"cmzel_OutputCommand", kCommandManagerPipe, static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}
