#include "DebugLibrary.h"

namespace {

template <typename T>
T Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

bool CDebugLibrary::Bind(const char* libraryPath, const char* settingsFile) {
    hModule = ::LoadLibraryA(libraryPath);
    if (hModule == nullptr) return false;
    pfnInitDebugWithIni =
        Lookup<SD_InitDebug_with_Ini_0200_t>(hModule, "SD_InitDebug_with_Ini_0200");
    pfnDbLogAddChannel = Lookup<FARPROC>(hModule, "SD_DbLogAddChannel");
    pfnTraceW0200 = Lookup<FARPROC>(hModule, "SD_TraceW_0200");
    pfnTraceA0200 = Lookup<FARPROC>(hModule, "SD_TraceA_0200");
    pfnTraceW = Lookup<SD_TraceW_t>(hModule, "SD_TraceW");
    pfnSetDebugMsg = Lookup<FARPROC>(hModule, "SD_SetDebugMsg");
    pfnDbLogTrace = Lookup<FARPROC>(hModule, "SD_DbLogTrace");
    pfnDbLogTraceToChannel = Lookup<FARPROC>(hModule, "SD_DbLogTraceToChannel");
    if (pfnInitDebugWithIni == nullptr) return false;
    pfnInitDebugWithIni(settingsFile, "", "");
    return true;
}
