#include "DebugTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "DebugLibrary.h"
#include "LogLevelMap.h"
#include "TraceObserver.h"
#include "UniqueHandle.h"
#include "logcl_command.h"
#include "mbwc_mbwc.h"

namespace {

constexpr int kTagChars = 1024;
constexpr int kExeNameChars = 260;

// Trace identity: the tag is written once at trace start, before other
// threads exist; the executable name may be worked out by two threads at
// once, and both write the same text.
char g_szModuleTagA[kTagChars];
wchar_t g_szModuleTagW[kTagChars];
char g_szExeNameA[kExeNameChars];
wchar_t g_szExeNameW[kExeNameChars];
volatile LONG g_bExeNameKnownA = 0;
volatile LONG g_bExeNameKnownW = 0;

CDebugLibrary g_debugLibrary;

void WorkOutExeNameA() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH - 1);
    const char* name = std::strrchr(path, '\\');
    name = (name != nullptr) ? name + 1 : path;
    ::lstrcpynA(g_szExeNameA, name, kExeNameChars);
    g_bExeNameKnownA = 1;
}

void WorkOutExeNameW() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH - 1);
    const wchar_t* name = std::wcsrchr(path, L'\\');
    name = (name != nullptr) ? name + 1 : path;
    ::lstrcpynW(g_szExeNameW, name, kExeNameChars);
    g_bExeNameKnownW = 1;
}

// At trace start the wide name is made from the narrow one.
void WideExeNameFromNarrow() {
    if (::MultiByteToWideChar(CP_ACP, 0, g_szExeNameA, -1, g_szExeNameW, kExeNameChars) == 0) {
        WorkOutExeNameW();
        return;
    }
    g_bExeNameKnownW = 1;
}

// "[tag][exe]" followed by the formatted text, cut so that the line holds
// at most kTraceLineChars - 1 characters. _vsnwprintf and _vsnprintf keep
// Microsoft's format semantics (wide %s in a wide format) under MinGW and
// MSVC alike, unlike vswprintf; they leave a cut text unterminated, so the
// last position is always terminated here.
// Both return the length of the head, where the caller's text begins.
int ComposeLineW(wchar_t (&line)[kTraceLineChars], const wchar_t* format, va_list args) {
    if (!g_bExeNameKnownW) WorkOutExeNameW();
    int used = _snwprintf(line, kTraceLineChars - 1, L"[%s][%s]", g_szModuleTagW, g_szExeNameW);
    if (used < 0) used = kTraceLineChars - 1;
    if (format != nullptr && used < kTraceLineChars - 1) {
        _vsnwprintf(line + used, static_cast<size_t>(kTraceLineChars - 1 - used), format, args);
    }
    line[kTraceLineChars - 1] = L'\0';
    return used;
}

int ComposeLineA(char (&line)[kTraceLineChars], const char* format, va_list args) {
    if (!g_bExeNameKnownA) WorkOutExeNameA();
    int used = _snprintf(line, kTraceLineChars - 1, "[%s][%s]", g_szModuleTagA, g_szExeNameA);
    if (used < 0) used = kTraceLineChars - 1;
    if (format != nullptr && used < kTraceLineChars - 1) {
        _vsnprintf(line + used, static_cast<size_t>(kTraceLineChars - 1 - used), format, args);
    }
    line[kTraceLineChars - 1] = '\0';
    return used;
}

// The observer takes wide text; a narrow line is converted as the log
// client converts it (ANSI code page).
void ObserveNarrow(ITraceObserver& observer, int level, const char* text) {
    wchar_t wide[kTraceLineChars] = {};
    if (::MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kTraceLineChars) == 0) wide[0] = L'\0';
    observer.OnTraceLine(level, wide);
}

// Seconds since 1970 (UTC), as time() gives them; read from the system clock
// directly, since the runtime's time() also looks up the time zone on every
// call (about 5 us under Wine, 2 % of a delivered record).
int TraceTime() {
    constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ULL;  // 1970 in FILETIME ticks
    constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int>((ticks - kUnixEpochTicks) / kTicksPerSecond);
}

}  // namespace

bool IsTraceLevelEnabled(int level) {
    if ((static_cast<unsigned>(level) & ~0xFFu) != 0) return true;
    return CLogLevelMap::Instance().IsLevelEnabled(level);
}

bool DebugTraceW(int level, const wchar_t* sourceFile, int line, const wchar_t* format, ...) {
    UTIL::CLastErrorPreserver keepLastError;
    ITraceObserver* observer = CurrentTraceObserver();
    // While the log server is in back-off the record is dropped (and
    // counted) before any work is spent on it.
    const bool toLogServer = IsTraceLevelEnabled(level) && !logcl_DropIfBackingOff();
    if (!toLogServer && observer == nullptr) return false;
    wchar_t text[kTraceLineChars];
    va_list args;
    va_start(args, format);
    const int head = ComposeLineW(text, format, args);
    va_end(args);
    if (observer != nullptr) observer->OnTraceLine(level, text + head);
    if (!toLogServer) return false;
    return logcl_WriteLog(TraceTime(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level,
                          sourceFile, line, text);
}

bool DebugTracePastGateW(int level, const wchar_t* sourceFile, int line, const wchar_t* format,
                         ...) {
    UTIL::CLastErrorPreserver keepLastError;
    wchar_t text[kTraceLineChars];
    va_list args;
    va_start(args, format);
    const int head = ComposeLineW(text, format, args);
    va_end(args);
    if (ITraceObserver* observer = CurrentTraceObserver())
        observer->OnTraceLine(level, text + head);
    return logcl_WriteLog(TraceTime(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level,
                          sourceFile, line, text);
}

bool DebugTraceA(int level, const char* sourceFile, int line, const char* format, ...) {
    UTIL::CLastErrorPreserver keepLastError;
    ITraceObserver* observer = CurrentTraceObserver();
    // While the log server is in back-off the record is dropped (and
    // counted) before any work is spent on it.
    const bool toLogServer = IsTraceLevelEnabled(level) && !logcl_DropIfBackingOff();
    if (!toLogServer && observer == nullptr) return false;
    char text[kTraceLineChars];
    va_list args;
    va_start(args, format);
    const int head = ComposeLineA(text, format, args);
    va_end(args);
    if (observer != nullptr) ObserveNarrow(*observer, level, text + head);
    if (!toLogServer) return false;
    return logcl_WriteLogA(TraceTime(), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level,
                           sourceFile, line, text);
}

bool DebugTraceToLibraryW(int level, const wchar_t* sourceFile, int line, const wchar_t* format,
                          ...) {
    UTIL::CLastErrorPreserver keepLastError;
    if (!IsTraceLevelEnabled(level)) return false;
    wchar_t text[kTraceLineChars];
    va_list args;
    va_start(args, format);
    ComposeLineW(text, format, args);
    va_end(args);
    if (!g_debugLibrary.CanTrace()) return false;
    g_debugLibrary.pfnTraceW(0, 0, 0, sourceFile, line, level, text);
    return true;
}

bool InitDebugTraceA(const char* settingsFile, const char* libraryPath, const char* moduleTag,
                     bool logServerOnly) {
    UTIL::CLastErrorPreserver keepLastError;
    g_szModuleTagA[0] = '\0';
    g_szModuleTagW[0] = L'\0';
    if (moduleTag != nullptr) {
        ::lstrcpynA(g_szModuleTagA, moduleTag, kTagChars);  // cut to 1023 characters
        if (::MultiByteToWideChar(CP_ACP, 0, g_szModuleTagA, -1, g_szModuleTagW, kTagChars) == 0) {
            g_szModuleTagW[0] = L'\0';
        }
    }
    bool bound = false;
    if (!logServerOnly && libraryPath != nullptr) {
        bound = g_debugLibrary.Bind(libraryPath, settingsFile != nullptr ? settingsFile : "");
    }
    WorkOutExeNameA();
    WideExeNameFromNarrow();
    return bound;
}

bool InitDebugTraceW(const wchar_t* settingsFile, const wchar_t* libraryPath,
                     const wchar_t* moduleTag, bool logServerOnly) {
    char settingsA[260] = {};
    char libraryA[260] = {};
    char tagA[1024] = {};
    if (settingsFile != nullptr) {
        MBWC::WCToMB(settingsFile, settingsA, sizeof(settingsA), CP_ACP, WC_COMPOSITECHECK);
    }
    if (libraryPath != nullptr) {
        MBWC::WCToMB(libraryPath, libraryA, sizeof(libraryA), CP_ACP, WC_COMPOSITECHECK);
    }
    if (moduleTag != nullptr) {
        MBWC::WCToMB(moduleTag, tagA, sizeof(tagA), CP_ACP, WC_COMPOSITECHECK);
    }
    return InitDebugTraceA(settingsA, libraryA, tagA, logServerOnly);
}
