// Test access to what the debug-library stand-in received. Bind it with
// GetProcAddress: the trace loads the library by path at run time.
#pragma once

#include <windows.h>

// Number of SD_TraceW calls seen so far.
using KvDbg_TraceCount_t = int (*)();
// Copies record `index` (level, line and composed text); false when absent.
using KvDbg_GetTrace_t = BOOL (*)(int index, int* level, int* line, wchar_t* text, int textChars);
// The settings file that SD_InitDebug_with_Ini_0200 received, and how often.
using KvDbg_InitCalls_t = int (*)(char* settingsFile, int settingsChars);
