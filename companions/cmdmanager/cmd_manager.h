#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CMDMGR {

constexpr const wchar_t* kPipePath = L"\\\\.\\pipe\\Global\\ZelModuleCommandManager";

// Decodes one whole message into printable lines: command name, identifier
// and one line per parameter. A garbled message gives false and a reason.
bool DescribeMessage(const std::vector<BYTE>& message, std::wstring& text);

// Serves `connections` connections (0: without end), one message each,
// writing each description or garbled-message report to `out`.
bool ServeCommandManager(const wchar_t* pipePath, unsigned connections, FILE* out);

}  // namespace CMDMGR
