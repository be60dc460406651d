// Client of the product's log server: one LOG_WRITE record per connection
// on "Log_ServerNamePipe".
#pragma once

#include <windows.h>

constexpr wchar_t kLogServerPipeName[] = L"Log_ServerNamePipe";

bool logcl_WriteLog(int time, unsigned int processId, unsigned int threadId, int level,
                    const wchar_t* sourceFile, int line, const wchar_t* text);
bool logcl_WriteLogA(int time, unsigned int processId, unsigned int threadId, int level,
                     const char* sourceFile, int line, const char* text);
bool logcl_SendCommand(const wchar_t* command);
