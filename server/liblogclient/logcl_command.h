// Client of the product's log server: one LOG_WRITE record per connection
// on "Log_ServerNamePipe".
#pragma once

#include <windows.h>

constexpr wchar_t kLogServerPipeName[] = L"Log_ServerNamePipe";

bool logcl_WriteLog(int time, unsigned int processId, unsigned int threadId, int level,
                    const wchar_t* sourceFile, int line, const wchar_t* text);
bool logcl_WriteLogA(int time, unsigned int processId, unsigned int threadId, int level,
                     const char* sourceFile, int line, const char* text);
// True when the command was written whole. While the log server is in
// back-off (logcl_backoff.h) the record is dropped at once and counted.
bool logcl_SendCommand(const wchar_t* command);

// For a caller that has not composed its record yet (the trace call): true,
// and the record counted as dropped, while the log server is in back-off.
bool logcl_DropIfBackingOff();

// The pipe delivery of one record (the default of the delivery seam).
bool logcl_DeliverOverPipe(const wchar_t* command, bool* missedDeadline);

// The line that reports dropped records once delivery works again, level 'W',
// written past the level gate: the function name, the number of records and
// the milliseconds since the first, both 64-bit (they cannot wrap).
constexpr wchar_t kDroppedRecordsFormat[] =
    L"%s - %I64u trace record(s) dropped in %I64u ms: the log server did not take them";
