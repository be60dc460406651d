// Run-time binding of the product's event-log notifier "kvnotify.dll", loaded
// only when it is signed by "Karvelo, Inc.".
#pragma once

#include <windows.h>

#include <string>

// Entry points of "kvnotify.dll".
using PfnInitDefaultEventSource = int (*)(const char* pszSourceName, bool bFlag);
using PfnReportEventLog = int (*)(const char* pszSourceName, WORD wType, DWORD dwEventId,
                                  const char* pszMessage);
using PfnOpenEventSource = int (*)(const char* pszServer, const char* pszSourceName,
                                   HANDLE* phSource);
using PfnCloseEventSource = int (*)(HANDLE hSource);
using PfnReportEventLogEx = int (*)(HANDLE hSource, DWORD dwValue, WORD wValue, DWORD dwEventId,
                                    const char* pszMessage, void* pReserved);

class CKvNotifyDLL {
public:
    CKvNotifyDLL() = default;
    ~CKvNotifyDLL();
    CKvNotifyDLL(const CKvNotifyDLL&) = delete;
    CKvNotifyDLL& operator=(const CKvNotifyDLL&) = delete;

    // Once per object: later calls return TRUE at once. Folder null: the
    // running executable's folder.
    BOOL Init(const char* pszFolder = nullptr);

    // Each returns the entry point's result, or -2 when it is not bound.
    int InitDefaultEventSource(const char* pszSourceName, bool bFlag);
    int OpenEventSource(const char* pszServer, const char* pszSourceName, HANDLE* phSource);
    int CloseEventSource(HANDLE hSource);
    int ReportEventLogEx(HANDLE hSource, DWORD dwValue, WORD wValue, DWORD dwEventId,
                         const char* pszMessage);

private:
    // Verifies the notifier, then loads it through the issuer-checked loader.
    bool LoadNotifier(const std::wstring& path);
    // All five entry points, or none and the library freed.
    BOOL BindEntryPoints();

    HMODULE m_hModule = nullptr;
    PfnInitDefaultEventSource m_pfnInitDefaultEventSource = nullptr;
    PfnReportEventLog m_pfnReportEventLog = nullptr;
    PfnOpenEventSource m_pfnOpenEventSource = nullptr;
    PfnCloseEventSource m_pfnCloseEventSource = nullptr;
    PfnReportEventLogEx m_pfnReportEventLogEx = nullptr;
    bool m_bTried = false;
};
