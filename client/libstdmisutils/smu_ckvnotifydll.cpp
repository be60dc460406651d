#include "smu_ckvnotifydll.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "DebugTrace.h"
#include "ds_loadlibwithissuercheck.h"
#include "ds_stvdsmanager.h"

namespace {

constexpr wchar_t kNotifierFileName[] = L"kvnotify.dll";
constexpr wchar_t kProductIssuer[] = L"Karvelo, Inc.";
constexpr int kWrapperTraceLevel = 5;
constexpr int kNotBound = -2;

// The wrappers' formats print a handle as a 32-bit number.
unsigned HandleBits(HANDLE handle) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle));
}

// Narrow text composed with the runtime's own printf (Microsoft semantics),
// cut and terminated when it does not fit.
template <typename... Args>
std::string Compose(const char* format, Args... args) {
    char text[kTraceLineChars] = {};
    _snprintf(text, sizeof(text) - 1, format, args...);
    return text;
}

// One line before the entry point is called and one after it, with its result.
template <typename Call>
int TracedCall(const std::string& callText, bool bound, Call call) {
    DebugTraceA(kWrapperTraceLevel, TRACE_SRC_A, "%s", callText.c_str());
    const int result = bound ? call() : kNotBound;
    DebugTraceA(kWrapperTraceLevel, TRACE_SRC_A, "%s return %d", callText.c_str(), result);
    return result;
}

// Narrow folder names are in the code page of the file-system calls.
std::wstring FolderFromNarrow(const char* pszFolder) {
    const UINT codePage = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int required = ::MultiByteToWideChar(codePage, 0, pszFolder, -1, nullptr, 0);
    if (required <= 0) return L"";
    std::wstring folder(static_cast<size_t>(required), L'\0');
    ::MultiByteToWideChar(codePage, 0, pszFolder, -1, folder.data(), required);
    folder.resize(static_cast<size_t>(required - 1));
    return folder;
}

// The running executable's folder without its closing separators; empty
// when the name cannot be read whole.
std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"";
    std::wstring folder(path, length);
    const size_t lastSeparator = folder.find_last_of(L"\\/");
    if (lastSeparator == std::wstring::npos) return L"";
    folder.resize(lastSeparator);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

std::wstring JoinPath(std::wstring folder, const wchar_t* fileName) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder + fileName;
}

template <typename Fn>
Fn BindEntry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

CKvNotifyDLL::~CKvNotifyDLL() {
    if (m_hModule != nullptr && ::FreeLibrary(m_hModule)) m_hModule = nullptr;
}

BOOL CKvNotifyDLL::Init(const char* pszFolder) {
    static constexpr wchar_t kFunction[] = L"CKvNotifyDLL::Init";
    if (m_bTried) return TRUE;
    m_bTried = true;

    const std::wstring folder =
        pszFolder != nullptr ? FolderFromNarrow(pszFolder) : ExecutableFolder();
    if (folder.empty()) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - failed to call GetModuleName()", kFunction);
        return FALSE;
    }
    const std::wstring path = JoinPath(folder, kNotifierFileName);
    if (m_hModule == nullptr && !LoadNotifier(path)) return FALSE;
    return BindEntryPoints();
}

bool CKvNotifyDLL::LoadNotifier(const std::wstring& path) {
    static constexpr wchar_t kFunction[] = L"CKvNotifyDLL::Init";
    const VerifyResult verified = CStvDigitalSignatureManagerEx::VerifyDigitalSignature(
        path.c_str(), DS_VERIFY_KARVELO_SIGNER, false);
    if (verified.bVerified) {
        m_hModule = LoadLibraryWithIssuerCheckW(kProductIssuer, path.c_str());
    } else {
        DebugTraceW('E', TRACE_SRC_W,
                    L"%s - CKvNotifyDLL:CKvNotifyDLL() Verify DigitalSignature "
                    L"Failed(kvnotify.dll) error = 0x%x",
                    kFunction, verified.dwErrorCode);
    }
    if (m_hModule != nullptr) return true;
    DebugTraceW('E', TRACE_SRC_W,
                L"%s - CKvNotifyDLL::CKvNotifyDLL() LoadLibrary(kvnotify.dll) error = %d",
                kFunction, ::GetLastError());
    return false;
}

BOOL CKvNotifyDLL::BindEntryPoints() {
    m_pfnInitDefaultEventSource =
        BindEntry<PfnInitDefaultEventSource>(m_hModule, "InitDefaultEventSource");
    m_pfnReportEventLog = BindEntry<PfnReportEventLog>(m_hModule, "ReportEventLog");
    m_pfnOpenEventSource = BindEntry<PfnOpenEventSource>(m_hModule, "OpenEventSource");
    m_pfnCloseEventSource = BindEntry<PfnCloseEventSource>(m_hModule, "CloseEventSource");
    m_pfnReportEventLogEx = BindEntry<PfnReportEventLogEx>(m_hModule, "ReportEventLogEx");
    if (m_pfnInitDefaultEventSource != nullptr && m_pfnReportEventLog != nullptr &&
        m_pfnOpenEventSource != nullptr && m_pfnCloseEventSource != nullptr &&
        m_pfnReportEventLogEx != nullptr) {
        return TRUE;
    }
    DebugTraceW('E', TRACE_SRC_W, L"%s - CKvNotifyDLL::CKvNotifyDLL() GetProcAddress error = %d",
                L"CKvNotifyDLL::Init", ::GetLastError());
    ::FreeLibrary(m_hModule);
    m_hModule = nullptr;
    m_pfnInitDefaultEventSource = nullptr;
    m_pfnReportEventLog = nullptr;
    m_pfnOpenEventSource = nullptr;
    m_pfnCloseEventSource = nullptr;
    m_pfnReportEventLogEx = nullptr;
    return FALSE;
}

int CKvNotifyDLL::InitDefaultEventSource(const char* pszSourceName, bool bFlag) {
    return TracedCall(Compose("CKvNotifyDLL::InitDefaultEventSource(%s)", pszSourceName),
                      m_pfnInitDefaultEventSource != nullptr,
                      [&] { return m_pfnInitDefaultEventSource(pszSourceName, bFlag); });
}

int CKvNotifyDLL::OpenEventSource(const char* pszServer, const char* pszSourceName,
                                  HANDLE* phSource) {
    const HANDLE current = phSource != nullptr ? *phSource : nullptr;
    return TracedCall(
        Compose("CKvNotifyDLL::OpenEventSource(%s, %s, %X)",
                pszServer != nullptr ? pszServer : "NULL", pszSourceName, HandleBits(current)),
        m_pfnOpenEventSource != nullptr,
        [&] { return m_pfnOpenEventSource(pszServer, pszSourceName, phSource); });
}

int CKvNotifyDLL::CloseEventSource(HANDLE hSource) {
    return TracedCall(Compose("CKvNotifyDLL::CloseEventSource(%d)", HandleBits(hSource)),
                      m_pfnCloseEventSource != nullptr,
                      [&] { return m_pfnCloseEventSource(hSource); });
}

int CKvNotifyDLL::ReportEventLogEx(HANDLE hSource, DWORD dwValue, WORD wValue, DWORD dwEventId,
                                   const char* pszMessage) {
    return TracedCall(
        Compose("CKvNotifyDLL::ReportEventLogEx(%d, %d, %d, %d, %s)", HandleBits(hSource), dwValue,
                static_cast<int>(wValue), dwEventId, pszMessage),
        m_pfnReportEventLogEx != nullptr, [&] {
            return m_pfnReportEventLogEx(hSource, dwValue, wValue, dwEventId, pszMessage, nullptr);
        });
}
