// The product's debug library, bound only when the trace is started without
// the log-server-only flag. The service never binds it; other processes of
// the product and the tests do.
#pragma once

#include <windows.h>

using SD_InitDebug_with_Ini_0200_t = BOOL(__stdcall*)(const char* settingsFile, const char*,
                                                      const char*);
using SD_TraceW_t = void(__stdcall*)(DWORD, DWORD, DWORD, const wchar_t* sourceFile, int line,
                                     int level, const wchar_t* text);

struct CDebugLibrary {
    HMODULE hModule = nullptr;
    SD_InitDebug_with_Ini_0200_t pfnInitDebugWithIni = nullptr;
    FARPROC pfnDbLogAddChannel = nullptr;
    FARPROC pfnTraceW0200 = nullptr;
    FARPROC pfnTraceA0200 = nullptr;
    SD_TraceW_t pfnTraceW = nullptr;
    FARPROC pfnSetDebugMsg = nullptr;
    FARPROC pfnDbLogTrace = nullptr;
    FARPROC pfnDbLogTraceToChannel = nullptr;

    // Loads the library and looks up its entries; calls the start entry
    // once with the settings file. True when the start entry was found.
    bool Bind(const char* libraryPath, const char* settingsFile);

    bool CanTrace() const {
        return hModule != nullptr && pfnInitDebugWithIni != nullptr && pfnTraceW0200 != nullptr &&
               pfnTraceW != nullptr;
    }
};
