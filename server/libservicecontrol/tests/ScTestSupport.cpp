#include "ScTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "DebugTrace.h"
#include "ProductFolder.h"

namespace SCTEST {

namespace {

constexpr DWORD kPollMs = 100;
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion";
constexpr const wchar_t* kDoubleNames[] = {L"StvPIPC_64x.dll", L"Quorlin.dll", L"Pelsade.dll",
                                           L"Wextrom.dll"};
constexpr const char* kBuiltDoubles[] = {SCTEST_STVPIPC_DLL, SCTEST_QUORLIN_DLL, SCTEST_PELSADE_DLL,
                                         SCTEST_WEXTROM_DLL};

std::wstring TempFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

}  // namespace

CTestService::CTestService(const wchar_t* name, const wchar_t* mode, DWORD startType)
    : m_name(name), m_eventName(std::wstring(L"ZelScTestHalt_") + name) {
    m_haltEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, m_eventName.c_str()));
    m_manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    {
        // A leftover of an interrupted run goes first.
        UTIL::unique_sc_handle old(::OpenServiceW(m_manager.get(), name, SERVICE_ALL_ACCESS));
        if (old) ::DeleteService(old.get());
    }
    const std::wstring binary =
        L"\"" + ZELTEST::WinePathOf(SCTEST_SERVICE_EXE) + L"\" " + mode + L" " + m_eventName;
    m_service.reset(::CreateServiceW(m_manager.get(), name, name, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                     binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

CTestService::~CTestService() {
    ::SetEvent(m_haltEvent.get());
    if (!m_service) return;
    WaitForState(SERVICE_STOPPED);
    ::DeleteService(m_service.get());
}

bool CTestService::StartAndWaitFor(DWORD state) {
    return ::StartServiceW(m_service.get(), 0, nullptr) && WaitForState(state);
}

DWORD CTestService::State() const {
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(m_service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool CTestService::WaitForState(DWORD state, DWORD timeoutMs) const {
    for (DWORD waited = 0; waited < timeoutMs; waited += kPollMs) {
        if (State() == state) return true;
        ::Sleep(kPollMs);
    }
    return false;
}

CTraceRecords::CTraceRecords() {
    // Without a listener every "no such line" check would pass.
    m_started = m_listener.Start();
    if (!m_started) ADD_FAILURE() << "the trace listener did not start: " << ::GetLastError();
}

std::vector<ZELTEST::LogRecord> CTraceRecords::Collect() {
    // The marker is traced last: once it arrived, every record traced before
    // it on this thread has arrived too.
    DebugTraceW('I', TRACE_SRC_W, L"sctest marker");
    const bool marked = m_started && m_listener.WaitForLine(L"]sctest marker");
    m_listener.Stop();
    auto records = m_listener.Records();
    if (!marked || records.empty() || records.back().Line().find(L"]sctest marker") ==
                                          std::wstring::npos) {
        ADD_FAILURE() << "the trace's end marker did not arrive last (" << records.size()
                      << " records)";
        return records;
    }
    records.pop_back();
    return records;
}

size_t CTraceRecords::WaitForCount(const std::wstring& part, size_t count, DWORD timeoutMs) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const size_t seen = Count(m_listener.Records(), part);
        if (seen >= count || ::GetTickCount64() >= deadline) return seen;
        ::Sleep(10);
    }
}

size_t CTraceRecords::Count(const std::vector<ZELTEST::LogRecord>& records,
                            const std::wstring& part) {
    size_t count = 0;
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) ++count;
    return count;
}

const ZELTEST::LogRecord* CTraceRecords::Find(const std::vector<ZELTEST::LogRecord>& records,
                                              const std::wstring& part) {
    for (const auto& record : records)
        if (record.Line().find(part) != std::wstring::npos) return &record;
    return nullptr;
}

CDoublesEnvironment::CDoublesEnvironment() : m_recordPath(TempFile(L"zel_sctest_calls.txt")) {
    ::DeleteFileW(m_recordPath.c_str());
    ::SetEnvironmentVariableW(L"ZEL_SCTEST_RECORD", m_recordPath.c_str());
}

CDoublesEnvironment::~CDoublesEnvironment() {
    for (const wchar_t* name : {L"ZEL_SCTEST_RECORD", L"ZEL_SCTEST_SEND_RESULT",
                                L"ZEL_SCTEST_SIPC_INIT", L"ZEL_SCTEST_HALT_EVENT"}) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
    ::DeleteFileW(m_recordPath.c_str());
}

void CDoublesEnvironment::SetSendResult(const wchar_t* value) {
    ::SetEnvironmentVariableW(L"ZEL_SCTEST_SEND_RESULT", value);
}

void CDoublesEnvironment::SetInitFails() {
    ::SetEnvironmentVariableW(L"ZEL_SCTEST_SIPC_INIT", L"fail");
}

void CDoublesEnvironment::SetHaltEvent(const std::wstring& name) {
    ::SetEnvironmentVariableW(L"ZEL_SCTEST_HALT_EVENT", name.c_str());
}

std::vector<std::string> CDoublesEnvironment::Calls() const {
    std::vector<std::string> calls;
    std::ifstream file(m_recordPath.c_str());
    for (std::string line; std::getline(file, line);) calls.push_back(line);
    return calls;
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

CDoublesBesideExe::CDoublesBesideExe() {
    for (const wchar_t* name : kDoubleNames) ::DeleteFileW((ExeFolder() + name).c_str());
}

CDoublesBesideExe::~CDoublesBesideExe() {
    for (const wchar_t* name : kDoubleNames) ::DeleteFileW((ExeFolder() + name).c_str());
}

bool CDoublesBesideExe::Put(const char* builtDll, const wchar_t* fileName) const {
    return ::CopyFileW(ZELTEST::WinePathOf(builtDll).c_str(), (ExeFolder() + fileName).c_str(),
                       FALSE) != FALSE;
}

bool CDoublesBesideExe::Exists(const wchar_t* fileName) const {
    return ::GetFileAttributesW((ExeFolder() + fileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string CDoublesBesideExe::Content(const wchar_t* fileName) const {
    std::ifstream file((ExeFolder() + fileName).c_str(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

CApplicationPath::CApplicationPath() : m_folder(L"C:\\zeltest\\sctest_app\\") {
    ZELTEST::RemoveTree(m_folder);
    ZELTEST::CreateFolders(m_folder);
    for (size_t i = 0; i < 4; ++i) {
        ::CopyFileW(ZELTEST::WinePathOf(kBuiltDoubles[i]).c_str(),
                    (m_folder + kDoubleNames[i]).c_str(), FALSE);
    }
    DWORD disposition = 0;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0,
                      KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, m_key.put(), &disposition);
    m_createdKey = disposition == REG_CREATED_NEW_KEY;
    DWORD bytes = 0;
    if (::RegQueryValueExW(m_key.get(), L"Application Path", nullptr, &m_oldType, nullptr,
                           &bytes) == ERROR_SUCCESS) {
        m_oldValue.resize(bytes);
        m_hadValue = ::RegQueryValueExW(m_key.get(), L"Application Path", nullptr, &m_oldType,
                                        m_oldValue.data(), &bytes) == ERROR_SUCCESS;
    }
}

CApplicationPath::~CApplicationPath() {
    if (m_hadValue) {
        ::RegSetValueExW(m_key.get(), L"Application Path", 0, m_oldType, m_oldValue.data(),
                         static_cast<DWORD>(m_oldValue.size()));
    } else {
        ::RegDeleteValueW(m_key.get(), L"Application Path");
    }
    m_key.reset();
    if (m_createdKey) ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY, 0);
    ZELTEST::RemoveTree(m_folder);
}

bool CApplicationPath::PointAt(const std::wstring& folder) const {
    return SetRaw(REG_SZ, folder.c_str(),
                  static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

bool CApplicationPath::SetRaw(DWORD type, const void* data, DWORD bytes) const {
    return ::RegSetValueExW(m_key.get(), L"Application Path", 0, type,
                            static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

}  // namespace SCTEST
