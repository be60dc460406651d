#include "SignatureTestSupport.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "DebugTrace.h"
#include "KVNotify.h"
#include "UniqueHandle.h"

namespace ZELTEST {

namespace {

constexpr const wchar_t* kProductKeyChain[] = {L"SOFTWARE\\Karvelo",
                                               L"SOFTWARE\\Karvelo\\HalvixNTCorp",
                                               L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion"};
constexpr const wchar_t* kProductKey = kProductKeyChain[2];
constexpr wchar_t kApplicationPath[] = L"Application Path";
constexpr REGSAM kView32 = KEY_WOW64_32KEY;

bool KeyExists32(const wchar_t* path) {
    UTIL::unique_hkey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | kView32, key.put()) ==
           ERROR_SUCCESS;
}

std::string NarrowOf(const std::wstring& text) {
    const int size =
        ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

}  // namespace

std::wstring BesideTest(const wchar_t* fileName) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1) + fileName;
}

CNotifierEventRecord::CNotifierEventRecord(std::wstring path) : m_path(std::move(path)) {
    ::DeleteFileW(m_path.c_str());
    ::SetEnvironmentVariableA(kKvNotifyRecordVariable, NarrowOf(m_path).c_str());
}

CNotifierEventRecord::~CNotifierEventRecord() {
    ::SetEnvironmentVariableA(kKvNotifyRecordVariable, nullptr);
    ::DeleteFileW(m_path.c_str());
}

std::vector<std::string> CNotifierEventRecord::Events() const {
    std::ifstream in(NarrowOf(m_path), std::ios::binary);
    std::vector<std::string> events;
    for (std::string line; std::getline(in, line);) events.push_back(line);
    return events;
}

CScopedApplicationPath::CScopedApplicationPath(const std::wstring& folder) {
    for (const wchar_t* path : kProductKeyChain) {
        if (!KeyExists32(path)) m_createdKeys.push_back(path);
    }
    UTIL::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_QUERY_VALUE | kView32, key.put()) ==
        ERROR_SUCCESS) {
        wchar_t previous[MAX_PATH] = {};
        DWORD size = sizeof(previous) - sizeof(wchar_t);
        m_hadValue = ::RegQueryValueExW(key.get(), kApplicationPath, nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(previous), &size) == ERROR_SUCCESS;
        m_previous = previous;
    }
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE | kView32,
                      nullptr, key.put(), nullptr);
    ::RegSetValueExW(key.get(), kApplicationPath, 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

CScopedApplicationPath::~CScopedApplicationPath() {
    {
        UTIL::unique_hkey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE | kView32,
                            key.put()) != ERROR_SUCCESS) {
            return;
        }
        if (m_hadValue) {
            ::RegSetValueExW(key.get(), kApplicationPath, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(m_previous.c_str()),
                             static_cast<DWORD>((m_previous.size() + 1) * sizeof(wchar_t)));
        } else {
            ::RegDeleteValueW(key.get(), kApplicationPath);
        }
    }
    for (auto path = m_createdKeys.rbegin(); path != m_createdKeys.rend(); ++path) {
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path->c_str(), kView32, 0);
    }
}

std::wstring ReadWideTextUpToNul(const std::wstring& path) {
    std::ifstream in(NarrowOf(path), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string raw = bytes.str();
    std::wstring text(raw.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) memcpy(text.data(), raw.data(), text.size() * sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

CTraceCapture::CTraceCapture() : m_started(m_listener.Start()) {}

std::vector<LogRecord> CTraceCapture::RecordsBeforeMarker() {
    if (m_collected || !m_started) return m_records;
    DebugTraceW('I', TRACE_SRC_W, L"trace capture marker");
    if (m_listener.WaitForLine(L"]trace capture marker")) {
        m_listener.Stop();
        m_records = m_listener.Records();
        m_records.pop_back();
    }
    m_collected = true;
    return m_records;
}

std::vector<std::wstring> CTraceCapture::LinesContaining(const std::wstring& part) {
    std::vector<std::wstring> lines;
    for (const LogRecord& record : RecordsBeforeMarker()) {
        if (record.Line().find(part) != std::wstring::npos) lines.push_back(record.Line());
    }
    return lines;
}

}  // namespace ZELTEST
