// The product's service control library: create, delete, start, stop, query
// and wait for a service by name, with a stop by pipe command or by a sibling
// library for the product's services that refuse the ordinary stop control.
// Integer results are 0 on success, a negative code or a Windows error code.
#pragma once

#include <windows.h>

constexpr int SC_ERR_OPEN_SCM = -2;
constexpr int SC_ERR_OPEN_SERVICE = -3;
constexpr int SC_ERR_DELETE = -4;
constexpr int SC_ERR_DELETE_PENDING = -5;
constexpr int SC_ERR_NOT_IN_TIME = -8;
constexpr int SC_ERR_QUERY = -12;
constexpr int SC_ERR_START = -13;
constexpr int SC_ERR_IPC_INIT = -16001;
constexpr int SC_ERR_LOAD_QUORLIN = -16019;
constexpr int SC_ERR_LOAD_PELSADE = -16020;
constexpr int SC_ERR_LOAD_WEXTROM = -16021;

// Buffers of the needful-files state and of scGetAppFolderPath.
constexpr DWORD SC_FOLDER_CHARS = 256;

int scCreateServiceW(LPCWSTR binaryPath, LPCWSTR serviceName, LPCWSTR displayName,
                     LPCWSTR description, LPCWSTR dependencies);
int scDeleteService(LPCWSTR serviceName);
int scStartServiceW(LPCWSTR serviceName, DWORD attempts, DWORD intervalMs, DWORD polls);
int scStopServiceW(LPCWSTR serviceName, DWORD polls, DWORD intervalMs, DWORD timeoutSeconds);
int scStopServiceViaSCM(LPCWSTR serviceName, DWORD timeoutSeconds);
bool WaitForServiceStatusH(DWORD wantedState, SC_HANDLE& service, DWORD polls, DWORD intervalMs);
bool scWaitForServiceStatus(DWORD wantedState, LPCWSTR serviceName, DWORD polls, DWORD intervalMs);
int scQueryServiceStatusW(LPCWSTR serviceName, DWORD* currentState);
// Recovery after a crash: restart after restartDelayMs on each of the first
// `restarts` failures, nothing after that; the failure count is reset after
// resetPeriodSeconds without a failure. Non-crash exits are left out. 0, -2,
// -3, -8 (no name) or the error of ChangeServiceConfig2W.
int scSetServiceFailureActionsW(LPCWSTR serviceName, DWORD restarts, DWORD restartDelayMs,
                                DWORD resetPeriodSeconds);

// This executable's folder with its trailing backslash, into a buffer of
// SC_FOLDER_CHARS characters.
bool scGetAppFolderPath(wchar_t* folderPath);
// Copies folder + file name to folder + file name; never overwrites.
bool scCopyFile(LPCWSTR sourceFolder, DWORD sourceLength, LPCWSTR targetFolder, DWORD targetLength,
                LPCWSTR fileName);
// Copies the pipe-IPC library and the sibling stop libraries from the
// product's "Application Path" next to this executable.
bool scCopyNeedfulFiles();

// Binds "StvPIPC_64x.dll" from this executable's folder and opens a channel.
void scInitSIPC();
void scDeInitSIPC();
// True when a channel of the pipe-IPC library is open.
bool scHasSIPCChannel();
bool scPipeCommandToStopService(DWORD commandCode, DWORD target);
// Stops one of the product's protected services by its own method.
int scStopProtectedService(LPCWSTR serviceName);
