// Call shapes of the product's pipe-IPC library "StvPIPC_64x.dll" as the
// service control library uses them; the channel handle comes last.
#pragma once

#include <windows.h>

// The command record is the library's; callers hand over a zeroed block.
constexpr size_t SIPC_COMMAND_RECORD_BYTES = 64;
// SIPC_SendData's answer when no receiver is connected.
constexpr DWORD SIPC_ERR_NO_CONNECTION = 0x10000007;

using PFN_SIPC_Init = HANDLE (*)(DWORD, DWORD, const char* clientName);
using PFN_SIPC_SendData = DWORD (*)(void* record, DWORD target, HANDLE channel);
using PFN_SIPC_DeInit = void (*)(HANDLE* channel);
using PFN_SIPC_ReceiveStart = DWORD (*)(HANDLE channel);
using PFN_SIPC_ReceiveStop = DWORD (*)(HANDLE channel);
using PFN_SIPC_CreateCommand = DWORD (*)(void* record, DWORD value, DWORD commandCode,
                                         DWORD dataSize, HANDLE channel);
using PFN_SIPC_ReplyCommand = DWORD (*)(void* record, HANDLE channel);
using PFN_SIPC_CmdDataCopy = DWORD (*)(void* record, const void* data, HANDLE channel);
using PFN_SIPC_FreeCommand = void (*)(void* record, HANDLE channel);
using PFN_SIPC_SetQueueTimeOut = void (*)(DWORD timeoutMs, HANDLE channel);

// Halt entries of the sibling stop libraries.
using PFN_Quorlin_Halt = int (*)(DWORD);
using PFN_pelsadeHalt = int (*)();
using PFN_WextromHalt = int (*)();
