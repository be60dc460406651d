#include "kvdbg20.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

struct TraceRecord {
    int level;
    int line;
    std::wstring text;
};

std::mutex g_mutex;
std::vector<TraceRecord> g_traces;
std::string g_settingsFile;
int g_initCalls = 0;

}  // namespace

extern "C" {

__declspec(dllexport) BOOL
    SD_InitDebug_with_Ini_0200(const char* settingsFile, const char*, const char*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settingsFile = settingsFile != nullptr ? settingsFile : "";
    ++g_initCalls;
    return TRUE;
}

__declspec(dllexport) void SD_TraceW(DWORD, DWORD, DWORD, const wchar_t*, int line, int level,
                                     const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_traces.push_back({level, line, text != nullptr ? text : L""});
}

// Entries the trace looks up but this stand-in does not use.
__declspec(dllexport) void SD_DbLogAddChannel() {}
__declspec(dllexport) void SD_TraceW_0200() {}
__declspec(dllexport) void SD_TraceA_0200() {}
__declspec(dllexport) void SD_SetDebugMsg() {}
__declspec(dllexport) void SD_DbLogTrace() {}
__declspec(dllexport) void SD_DbLogTraceToChannel() {}

__declspec(dllexport) int KvDbg_TraceCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_traces.size());
}

__declspec(dllexport) BOOL
    KvDbg_GetTrace(int index, int* level, int* line, wchar_t* text, int textChars) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (index < 0 || index >= static_cast<int>(g_traces.size()) || textChars <= 0) return FALSE;
    const TraceRecord& record = g_traces[static_cast<size_t>(index)];
    *level = record.level;
    *line = record.line;
    lstrcpynW(text, record.text.c_str(), textChars);
    return TRUE;
}

__declspec(dllexport) int KvDbg_InitCalls(char* settingsFile, int settingsChars) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (settingsFile != nullptr && settingsChars > 0) {
        lstrcpynA(settingsFile, g_settingsFile.c_str(), settingsChars);
    }
    return g_initCalls;
}

}  // extern "C"
