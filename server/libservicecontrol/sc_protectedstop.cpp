// The stop of the product's protected services, which refuse the stop
// control: by a command through the pipe-IPC library "StvPIPC_64x.dll", or
// by the halt entry of a sibling library.
#include <cstring>
#include <cwchar>

#include "DebugTrace.h"
#include "UniqueHandle.h"
#include "sc_issuerloader.h"
#include "sc_servicecontrol.h"
#include "sc_sipc.h"

namespace {

// Process-wide binding of the pipe-IPC library; one stop at a time.
struct SipcBinding {
    HMODULE module = nullptr;
    HANDLE channel = nullptr;
    PFN_SIPC_Init pfnInit = nullptr;
    PFN_SIPC_SendData pfnSendData = nullptr;
    PFN_SIPC_DeInit pfnDeInit = nullptr;
    PFN_SIPC_ReceiveStart pfnReceiveStart = nullptr;
    PFN_SIPC_ReceiveStop pfnReceiveStop = nullptr;
    PFN_SIPC_CreateCommand pfnCreateCommand = nullptr;
    PFN_SIPC_ReplyCommand pfnReplyCommand = nullptr;
    PFN_SIPC_CmdDataCopy pfnCmdDataCopy = nullptr;
    PFN_SIPC_FreeCommand pfnFreeCommand = nullptr;
    PFN_SIPC_SetQueueTimeOut pfnSetQueueTimeOut = nullptr;
};
SipcBinding g_sipc;

constexpr wchar_t kCommandData[] = L"libSvcCtrl";
constexpr DWORD kCommandDataBytes = sizeof(kCommandData);  // 22, terminator included
constexpr DWORD kQueueTimeOutMs = 90000;

template <typename Fn>
void Bind(Fn& entry, const char* name) {
    entry = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(g_sipc.module, name)));
}

// This executable's folder (with its backslash) + a file name. A module path
// that cannot be had whole (the call failed or cut it) or a name that does
// not fit gives false, with the error traced under `caller`: a relative or
// cut name would make LoadLibraryW search the path for the library, so that
// a planted copy would be loaded.
bool PathBesideExe(wchar_t (&path)[MAX_PATH], const wchar_t* fileName, const wchar_t* caller) {
    path[0] = L'\0';
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH - 1);
    DWORD error = ::GetLastError();
    if (length >= MAX_PATH - 1) {
        error = ERROR_INSUFFICIENT_BUFFER;
    } else if (length != 0) {
        wchar_t* lastSlash = wcsrchr(modulePath, L'\\');
        if (lastSlash == nullptr) {
            error = ERROR_BAD_PATHNAME;
        } else {
            lastSlash[1] = L'\0';
            if (wcslen(modulePath) + wcslen(fileName) < MAX_PATH) {
                wcscpy(path, modulePath);
                wcscat(path, fileName);
                return true;
            }
            error = ERROR_FILENAME_EXCED_RANGE;
        }
    }
    if (error == ERROR_SUCCESS) error = ERROR_BAD_PATHNAME;
    DebugTraceW('F', TRACE_SRC_W, L"[%s] GetModuleFileName() failed, GetLastError() = %d.", caller,
                error);
    ::SetLastError(error);
    return false;
}

enum class StopMethod { PipeCommand, QuorlinHalt, PelsadeHalt, WextromHalt };

struct ProtectedService {
    const wchar_t* name;
    StopMethod method;
    DWORD commandCode;       // pipe command rows
    DWORD target;            // pipe command rows
    const wchar_t* library;  // library rows
    const char* entry;       // library rows
    int failureCode;
    const wchar_t* stoppedLine;  // pipe command rows
    const wchar_t* failedLine;
};

constexpr ProtectedService kProtectedServices[] = {
    {L"orvandel", StopMethod::PipeCommand, 0x0A09, 1, nullptr, nullptr, SC_ERR_NOT_IN_TIME,
     L"[scStopOrvandel] orvandel stopped",
     L"[scStopOrvandel] scPipeCommandToStopService(orvandel) failed"},
    {L"hessifor", StopMethod::PipeCommand, 0x1F03, 2, nullptr, nullptr, SC_ERR_NOT_IN_TIME,
     L"[scStopHessifor] hessifor stopped",
     L"[scStopHessifor] scPipeCommandToStopService(hessifor) failed"},
    {L"calbrune", StopMethod::QuorlinHalt, 0, 0, L"Quorlin.dll", "Quorlin_Halt",
     SC_ERR_LOAD_QUORLIN, nullptr, L"[scStopCalbrune] stop Calbrune failed"},
    {L"drennik", StopMethod::PelsadeHalt, 0, 0, L"Pelsade.dll", "pelsadeHalt", SC_ERR_LOAD_PELSADE,
     nullptr, L"[scStopDrennik] stop Drennik failed"},
    {L"mossvale", StopMethod::WextromHalt, 0, 0, L"Wextrom.dll", "WextromHalt", SC_ERR_LOAD_WEXTROM,
     nullptr, L"[scStopMossvale] stop Mossvale failed"},
    {L"Yarrowit", StopMethod::PipeCommand, 0x3304, 14, nullptr, nullptr, SC_ERR_NOT_IN_TIME,
     L"[scStopYarrowit] Yarrowit stopped",
     L"[scStopYarrowit] scPipeCommandToStopService(Yarrowit) failed"},
};

const ProtectedService* FindProtectedService(LPCWSTR name) {
    if (name == nullptr) return nullptr;
    for (const ProtectedService& row : kProtectedServices) {
        if (_wcsicmp(row.name, name) == 0) return &row;
    }
    return nullptr;
}

int StopByPipeCommand(const ProtectedService& row) {
    if (scPipeCommandToStopService(row.commandCode, row.target)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s", row.stoppedLine);
        return 0;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s", row.failedLine);
    return row.failureCode;
}

HMODULE LoadStopLibrary(const ProtectedService& row, const wchar_t* path) {
    if (row.method == StopMethod::WextromHalt) return LoadIssuerCheckedStopLibrary(path);
    return ::LoadLibraryW(path);
}

// The halt entry's own result says nothing about the stop.
void CallHaltEntry(StopMethod method, FARPROC entry) {
    void* address = reinterpret_cast<void*>(entry);
    switch (method) {
        case StopMethod::QuorlinHalt:
            reinterpret_cast<PFN_Quorlin_Halt>(address)(1);
            break;
        case StopMethod::PelsadeHalt:
            reinterpret_cast<PFN_pelsadeHalt>(address)();
            break;
        case StopMethod::WextromHalt:
            reinterpret_cast<PFN_WextromHalt>(address)();
            break;
        case StopMethod::PipeCommand:
            break;
    }
}

int StopByLibraryEntry(const ProtectedService& row) {
    wchar_t path[MAX_PATH] = {};
    const UTIL::unique_hmodule library(
        PathBesideExe(path, row.library, L"scStopProtectedService") ? LoadStopLibrary(row, path)
                                                                    : nullptr);
    if (!library) {
        DebugTraceW('D', TRACE_SRC_W, L"%s", row.failedLine);
        return row.failureCode;
    }
    const FARPROC entry = ::GetProcAddress(library.get(), row.entry);
    if (entry == nullptr) return SC_ERR_NOT_IN_TIME;
    CallHaltEntry(row.method, entry);
    return 0;
}

}  // namespace

void scInitSIPC() {
    wchar_t path[MAX_PATH] = {};
    if (!PathBesideExe(path, L"StvPIPC_64x.dll", L"scInitSIPC")) return;
    g_sipc.module = ::LoadLibraryW(path);
    if (g_sipc.module == nullptr) {
        DebugTraceW('F', TRACE_SRC_W, L"[scInitSIPC] LoadLibrary() failed, GetLastError() = %d.",
                    ::GetLastError());
        return;
    }
    Bind(g_sipc.pfnInit, "SIPC_Init");
    Bind(g_sipc.pfnSendData, "SIPC_SendData");
    Bind(g_sipc.pfnDeInit, "SIPC_DeInit");
    Bind(g_sipc.pfnReceiveStart, "SIPC_ReceiveStart");
    Bind(g_sipc.pfnReceiveStop, "SIPC_ReceiveStop");
    Bind(g_sipc.pfnCreateCommand, "SIPC_CreateCommand");
    Bind(g_sipc.pfnReplyCommand, "SIPC_ReplyCommand");
    Bind(g_sipc.pfnCmdDataCopy, "SIPC_CmdDataCopy");
    Bind(g_sipc.pfnFreeCommand, "SIPC_FreeCommand");
    Bind(g_sipc.pfnSetQueueTimeOut, "SIPC_SetQueueTimeOut");
    if (g_sipc.pfnInit == nullptr) return;
    g_sipc.channel = g_sipc.pfnInit(0, 0, "SVCCTRL");
    if (g_sipc.channel == nullptr)
        DebugTraceW('F', TRACE_SRC_W, L"[scInitSIPC] SIPC_Init() failed");
}

void scDeInitSIPC() {
    DebugTraceW('F', TRACE_SRC_W, L"[scDeInitSIPC] >>");
    if (g_sipc.module != nullptr) {
        if (g_sipc.channel != nullptr) {
            if (g_sipc.pfnSetQueueTimeOut)
                g_sipc.pfnSetQueueTimeOut(kQueueTimeOutMs, g_sipc.channel);
            if (g_sipc.pfnDeInit) g_sipc.pfnDeInit(&g_sipc.channel);
            g_sipc.channel = nullptr;
        }
        ::FreeLibrary(g_sipc.module);
        g_sipc = SipcBinding{};
    }
    DebugTraceW('F', TRACE_SRC_W, L"[scDeInitSIPC] <<");
}

bool scHasSIPCChannel() {
    return g_sipc.channel != nullptr;
}

bool scPipeCommandToStopService(DWORD commandCode, DWORD target) {
    if (g_sipc.channel == nullptr) {
        DebugTraceW('D', TRACE_SRC_W, L"[scPipeCommandToStopService] Invalid IPC handle");
        return false;
    }
    // An entry the library lacks leaves the command unsent.
    DWORD result = ERROR_PROC_NOT_FOUND;
    BYTE record[SIPC_COMMAND_RECORD_BYTES] = {};
    if (g_sipc.pfnCreateCommand && g_sipc.pfnCmdDataCopy && g_sipc.pfnSendData &&
        g_sipc.pfnFreeCommand) {
        g_sipc.pfnCreateCommand(record, 1, commandCode, kCommandDataBytes, g_sipc.channel);
        g_sipc.pfnCmdDataCopy(record, kCommandData, g_sipc.channel);
        result = g_sipc.pfnSendData(record, target, g_sipc.channel);
        g_sipc.pfnFreeCommand(record, g_sipc.channel);
    }
    if (result == 0) return true;
    DebugTraceW('D', TRACE_SRC_W,
                L"[scPipeCommandToStopService] SIPC_SendData results unexpected: 0x%x", result);
    if (result == SIPC_ERR_NO_CONNECTION) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"[scPipeCommandToStopService] SIPC_SendData results with no available "
                    L"connection, service might down.");
        return true;
    }
    return false;
}

int scStopProtectedService(LPCWSTR serviceName) {
    DebugTraceW('D', TRACE_SRC_W, L"[scStopProtectedService] stop service [%s]", serviceName);
    const ProtectedService* row = FindProtectedService(serviceName);
    if (row == nullptr) return SC_ERR_NOT_IN_TIME;
    if (row->method == StopMethod::PipeCommand) return StopByPipeCommand(*row);
    return StopByLibraryEntry(*row);
}
