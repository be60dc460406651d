// The service host: entry-point helpers and the service's life under the
// Service Control Manager.
#pragma once

#include <windows.h>

constexpr wchar_t kServiceName[] = L"stvZelSvr";

// Writes the product folder (two levels above the executable's folder, with
// a trailing backslash) into a buffer of `size` characters.
void getWorkingDirectory(wchar_t* buffer, DWORD size);

// The web-server kind of "StUninst.ini" [WEB_SERVER] "ServerType": 2 and 3
// are Apache, any other value IIS.
bool IsApache(int serverType);

// Entry given to the dispatcher; `main` also calls it with the narrow
// command line for "-console".
void WINAPI Service_Main(DWORD argc, LPWSTR* argv);

// "-install": registers the service and starts it; "-uninstall": stops it
// and deletes it. Neither reports a result: the outcome is in the trace.
void InstallAsService();
void UninstallAsService();

// The process entry's work, apart from the C runtime's `main` signature.
int ZelServerMain(int argc, char* argv[]);
