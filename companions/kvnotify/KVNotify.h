// Notifier library of the product: ordinal 400 records a service event.
#pragma once

#include <windows.h>

// Exported by ordinal only (400); writes the text to the Windows event log.
extern "C" int WINAPI KVNotifyServiceEvent(const char* text, int flags);
