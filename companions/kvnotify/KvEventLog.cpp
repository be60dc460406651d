// The named event-log exports of the notifier.
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "KVNotify.h"

namespace {

// What a source handle of this library points at.
struct CEventSource {
    HANDLE hEventLog = nullptr;
    std::string sourceName;
};

std::mutex g_lock;
std::string g_defaultSource;
// Handles given out and not yet closed: a stale or foreign handle is refused
// instead of being dereferenced.
std::set<CEventSource*> g_openSources;

std::string SourceOrDefault(const char* pszSourceName) {
    if (pszSourceName != nullptr && pszSourceName[0] != '\0') return pszSourceName;
    std::lock_guard<std::mutex> guard(g_lock);
    return g_defaultSource;
}

std::string RecordLine(const std::string& sourceName, WORD wType, WORD wCategory, DWORD dwEventId,
                       const char* pszMessage) {
    char numbers[64] = {};
    _snprintf(numbers, sizeof(numbers) - 1, "\t%u\t%u\t%08lX\t", static_cast<unsigned>(wType),
              static_cast<unsigned>(wCategory), static_cast<unsigned long>(dwEventId));
    return sourceName + numbers + pszMessage + "\n";
}

void AppendToRecordFile(const std::string& line) {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableA(kKvNotifyRecordVariable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    HANDLE file = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace

void KvRecordEvent(const char* sourceName, WORD wType, WORD wCategory, DWORD dwEventId,
                   const char* pszMessage) {
    AppendToRecordFile(RecordLine(sourceName, wType, wCategory, dwEventId, pszMessage));
}

namespace {

int Report(HANDLE hEventLog, const std::string& sourceName, WORD wType, WORD wCategory,
           DWORD dwEventId, const char* pszMessage) {
    if (pszMessage == nullptr) pszMessage = "";
    const char* strings[] = {pszMessage};
    if (!::ReportEventA(hEventLog, wType, wCategory, dwEventId, nullptr, 1, 0, strings, nullptr))
        return static_cast<int>(::GetLastError());
    AppendToRecordFile(RecordLine(sourceName, wType, wCategory, dwEventId, pszMessage));
    return 0;
}

int RegisterSource(const std::string& sourceName) {
    const std::string keyPath =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName;
    HKEY key = nullptr;
    LONG status = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<int>(status);
    const DWORD typesSupported =
        EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status =
        ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&typesSupported), sizeof(typesSupported));
    ::RegCloseKey(key);
    return static_cast<int>(status);
}

}  // namespace

extern "C" int InitDefaultEventSource(const char* pszSourceName, bool bRegister) {
    if (pszSourceName == nullptr || pszSourceName[0] == '\0') return ERROR_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_defaultSource = pszSourceName;
    }
    return bRegister ? RegisterSource(pszSourceName) : 0;
}

extern "C" int OpenEventSource(const char* pszServer, const char* pszSourceName, HANDLE* phSource) {
    if (phSource == nullptr) return ERROR_INVALID_PARAMETER;
    *phSource = nullptr;
    const std::string sourceName = SourceOrDefault(pszSourceName);
    if (sourceName.empty()) return ERROR_INVALID_PARAMETER;
    HANDLE hEventLog = ::RegisterEventSourceA(pszServer, sourceName.c_str());
    if (hEventLog == nullptr) return static_cast<int>(::GetLastError());
    auto* source = new CEventSource{hEventLog, sourceName};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_openSources.insert(source);
    }
    *phSource = source;
    return 0;
}

extern "C" int CloseEventSource(HANDLE hSource) {
    CEventSource* source = static_cast<CEventSource*>(hSource);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_openSources.erase(source) == 0) return ERROR_INVALID_HANDLE;
    }
    ::DeregisterEventSource(source->hEventLog);
    delete source;
    return 0;
}

extern "C" int ReportEventLogEx(HANDLE hSource, DWORD dwType, WORD wCategory, DWORD dwEventId,
                                const char* pszMessage, void* /*pReserved*/) {
    // Held while reporting, so that a concurrent close cannot pull the
    // source away underneath.
    std::lock_guard<std::mutex> guard(g_lock);
    auto* source = static_cast<CEventSource*>(hSource);
    if (g_openSources.count(source) == 0) return ERROR_INVALID_HANDLE;
    return Report(source->hEventLog, source->sourceName, static_cast<WORD>(dwType), wCategory,
                  dwEventId, pszMessage);
}

extern "C" int ReportEventLog(const char* pszSourceName, WORD wType, DWORD dwEventId,
                              const char* pszMessage) {
    HANDLE hSource = nullptr;
    const int opened = OpenEventSource(nullptr, pszSourceName, &hSource);
    if (opened != 0) return opened;
    const int reported = ReportEventLogEx(hSource, wType, 0, dwEventId, pszMessage, nullptr);
    CloseEventSource(hSource);
    return reported;
}
