// Test double of the product's pipe-IPC library "StvPIPC_64x.dll": records
// every call with its arguments; SIPC_SendData answers what the environment
// variable ZEL_SCTEST_SEND_RESULT says (0 by default) and signals the halt
// event; ZEL_SCTEST_SIPC_INIT=fail makes SIPC_Init fail. Built once more
// without SIPC_SendData (folder "nosend"), a library that lacks an entry.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "TestDoubleRecord.h"

namespace {

// The command record's layout is this library's own; it fills 64 bytes.
struct CommandRecord {
    DWORD value;
    DWORD commandCode;
    DWORD dataSize;
    DWORD reserved;
    wchar_t data[24];
};
static_assert(sizeof(CommandRecord) == 64);

int g_channel;  // its address is the channel handle

const char* ChannelCheck(HANDLE channel) {
    return channel == &g_channel ? "ok" : "bad";
}

#ifndef SCTEST_WITHOUT_SEND
DWORD EnvironmentNumber(const wchar_t* name, DWORD fallback) {
    wchar_t text[32] = {};
    if (::GetEnvironmentVariableW(name, text, 32) == 0) return fallback;
    return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}
#endif

bool InitShouldFail() {
    wchar_t text[8] = {};
    return ::GetEnvironmentVariableW(L"ZEL_SCTEST_SIPC_INIT", text, 8) != 0 &&
           wcscmp(text, L"fail") == 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) HANDLE SIPC_Init(DWORD first, DWORD second, const char* clientName) {
    SCTEST::Record("SIPC_Init %lu %lu %s", first, second, clientName ? clientName : "(null)");
    return InitShouldFail() ? nullptr : &g_channel;
}

__declspec(dllexport) DWORD SIPC_CreateCommand(void* record, DWORD value, DWORD commandCode,
                                               DWORD dataSize, HANDLE channel) {
    SCTEST::Record("SIPC_CreateCommand %lu 0x%lx %lu ch=%s", value, commandCode, dataSize,
                   ChannelCheck(channel));
    auto* command = static_cast<CommandRecord*>(record);
    command->value = value;
    command->commandCode = commandCode;
    command->dataSize = dataSize <= sizeof(command->data) ? dataSize : sizeof(command->data);
    return 0;
}

__declspec(dllexport) DWORD SIPC_CmdDataCopy(void* record, const void* data, HANDLE channel) {
    auto* command = static_cast<CommandRecord*>(record);
    memcpy(command->data, data, command->dataSize);
    SCTEST::Record("SIPC_CmdDataCopy %S ch=%s", command->data, ChannelCheck(channel));
    return 0;
}

#ifndef SCTEST_WITHOUT_SEND
__declspec(dllexport) DWORD SIPC_SendData(void* record, DWORD target, HANDLE channel) {
    const auto* command = static_cast<const CommandRecord*>(record);
    const DWORD result = EnvironmentNumber(L"ZEL_SCTEST_SEND_RESULT", 0);
    SCTEST::Record("SIPC_SendData target=%lu code=0x%lx data=%S ch=%s -> 0x%lx", target,
                   command->commandCode, command->data, ChannelCheck(channel), result);
    SCTEST::SignalHalt();
    return result;
}
#endif

__declspec(dllexport) void SIPC_FreeCommand(void* record, HANDLE channel) {
    memset(record, 0, sizeof(CommandRecord));
    SCTEST::Record("SIPC_FreeCommand ch=%s", ChannelCheck(channel));
}

__declspec(dllexport) void SIPC_SetQueueTimeOut(DWORD timeoutMs, HANDLE channel) {
    SCTEST::Record("SIPC_SetQueueTimeOut %lu ch=%s", timeoutMs, ChannelCheck(channel));
}

__declspec(dllexport) void SIPC_DeInit(HANDLE* channel) {
    SCTEST::Record("SIPC_DeInit ch=%s", channel ? ChannelCheck(*channel) : "null");
    if (channel) *channel = nullptr;
}

__declspec(dllexport) DWORD SIPC_ReceiveStart(HANDLE channel) {
    SCTEST::Record("SIPC_ReceiveStart ch=%s", ChannelCheck(channel));
    return 0;
}

__declspec(dllexport) DWORD SIPC_ReceiveStop(HANDLE channel) {
    SCTEST::Record("SIPC_ReceiveStop ch=%s", ChannelCheck(channel));
    return 0;
}

__declspec(dllexport) DWORD SIPC_ReplyCommand(void*, HANDLE channel) {
    SCTEST::Record("SIPC_ReplyCommand ch=%s", ChannelCheck(channel));
    return 0;
}

}  // extern "C"
