#include "KVNotify.h"

extern "C" int WINAPI KVNotifyServiceEvent(const char* text, int flags) {
    HANDLE source = RegisterEventSourceW(nullptr, L"stvZelSvr");
    if (source == nullptr) return 0;
    const char* strings[] = {text != nullptr ? text : ""};
    const WORD type = flags == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE;
    BOOL reported = ReportEventA(source, type, 0, 400, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
    if (reported) KvRecordEvent("stvZelSvr", type, 0, 400, strings[0]);
    return reported ? 1 : 0;
}
