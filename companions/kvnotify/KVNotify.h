// Notifier library of the product. Ordinal 400 records a service event (the
// service imports it at load time); the named event-log exports are bound at
// run time as "kvnotify.dll".
#pragma once

#include <windows.h>

// Exported by ordinal only (400); writes the text to the Windows event log.
extern "C" int WINAPI KVNotifyServiceEvent(const char* text, int flags);

// The event-log exports answer 0 on success, else a Windows error code.
// A source handle is this library's own: it names the event source too.
extern "C" {
// Remembers the source used when none is named; with bRegister the source is
// also registered under the event log's "Application" key.
int InitDefaultEventSource(const char* pszSourceName, bool bRegister);
// Opens the source (null: the default one), reports one event, closes it.
int ReportEventLog(const char* pszSourceName, WORD wType, DWORD dwEventId, const char* pszMessage);
// Fills *phSource with an open source; it stays 0 on failure.
int OpenEventSource(const char* pszServer, const char* pszSourceName, HANDLE* phSource);
int CloseEventSource(HANDLE hSource);
// dwType is the event type (EVENTLOG_WARNING_TYPE ...), wCategory its category.
int ReportEventLogEx(HANDLE hSource, DWORD dwType, WORD wCategory, DWORD dwEventId,
                     const char* pszMessage, void* pReserved);
}

// When this environment variable names a file, every reported event is also
// appended to it as one line "source\ttype\tcategory\tID (8 hex digits)\tmessage":
// Wine's event log takes events but cannot be read back.
constexpr char kKvNotifyRecordVariable[] = "KVNOTIFY_EVENT_RECORD_FILE";

// Appends one event to that file (inside the library: ordinal 400 records
// its event there too).
void KvRecordEvent(const char* sourceName, WORD wType, WORD wCategory, DWORD dwEventId,
                   const char* pszMessage);
