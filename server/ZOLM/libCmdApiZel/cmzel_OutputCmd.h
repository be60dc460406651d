#pragma once

#include "cp_CCmdProtocolV2.h"

// Pipe of the command manager, without the local pipe prefix.
constexpr const wchar_t* kCommandManagerPipe = L"Global\\ZelModuleCommandManager";

// Writes one command message into the command manager's pipe. Once
// connected, the message's memory block is taken out of it and freed. The
// connect and each write are bounded (kCommandPipeBounds); `stopEvent` (may
// be null) ends a send in progress at once, as a failed send.
bool cmzel_OutputCommand(CMsgSerializer& message, HANDLE stopEvent = nullptr);
