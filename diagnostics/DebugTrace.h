// The one trace call of the product. A call passes the shared level gate,
// is composed into "[tag][exe]text" and goes to the log server as one
// LOG_WRITE record. A trace never fails its caller and leaves the thread's
// last error as it found it.
#pragma once

#include <windows.h>

#define ZEL_WIDEN2(x) L##x
#define ZEL_WIDEN(x) ZEL_WIDEN2(x)

// The caller's source file and line, as every trace call passes them.
#define TRACE_SRC_W ZEL_WIDEN(__FILE__), __LINE__
#define TRACE_SRC_A __FILE__, __LINE__

// Size of a composed line in characters, terminator included.
constexpr int kTraceLineChars = 4096;

bool DebugTraceW(int level, const wchar_t* sourceFile, int line, const wchar_t* format, ...);
bool DebugTraceA(int level, const char* sourceFile, int line, const char* format, ...);

// The same line past the level gate and the back-off's early drop: for the
// log client's report of dropped records, which no gate may hide.
bool DebugTracePastGateW(int level, const wchar_t* sourceFile, int line, const wchar_t* format,
                         ...);

// Goes to the debug library only, never to the log server: the log client
// reports its own failures through it.
bool DebugTraceToLibraryW(int level, const wchar_t* sourceFile, int line, const wchar_t* format,
                          ...);

bool IsTraceLevelEnabled(int level);

bool InitDebugTraceW(const wchar_t* settingsFile, const wchar_t* libraryPath,
                     const wchar_t* moduleTag, bool logServerOnly);
bool InitDebugTraceA(const char* settingsFile, const char* libraryPath, const char* moduleTag,
                     bool logServerOnly);
