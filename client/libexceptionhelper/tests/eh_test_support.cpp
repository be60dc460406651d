#include "eh_test_support.h"

#include "UniqueHandle.h"
#include "eh_exceptionhelper.h"

namespace EHTEST {

namespace {
const wchar_t kMiscKey[] = L"SOFTWARE\\Karvelo\\HalvixNTCorp\\CurrentVersion\\Misc.";

UTIL::unique_hkey OpenMiscKey() {
    UTIL::unique_hkey key;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMiscKey, 0, nullptr, 0,
                      KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    return key;
}
}  // namespace

CScopedDumpSetting::CScopedDumpSetting(const wchar_t* valueName, DWORD value)
    : m_valueName(valueName) {
    UTIL::unique_hkey key = OpenMiscKey();
    DWORD previous = 0;
    DWORD size = sizeof(previous);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(&previous), &size) == ERROR_SUCCESS) {
        m_previous = previous;
    }
    ::RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value));
}

CScopedDumpSetting::~CScopedDumpSetting() {
    UTIL::unique_hkey key = OpenMiscKey();
    if (m_previous) {
        const DWORD previous = *m_previous;
        ::RegSetValueExW(key.get(), m_valueName.c_str(), 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&previous), sizeof(previous));
    } else {
        ::RegDeleteValueW(key.get(), m_valueName.c_str());
    }
}

std::wstring WorkingFolder() {
    wchar_t folder[kEhPathChars] = {};
    GetExceptionHelpWorkingPath(folder, kEhPathChars, EH_PATH_WORKING_DIR);
    return folder;
}

bool CreateDumpFile(const std::wstring& path, int ageDays) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time;
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    time.QuadPart -= static_cast<ULONGLONG>(ageDays) * 86400ULL * 10000000ULL;
    FILETIME lastWrite = {time.LowPart, time.HighPart};
    return ::SetFileTime(file.get(), nullptr, nullptr, &lastWrite) != FALSE;
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListFiles(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(::FindFirstFileW((folder + pattern).c_str(), &found));
    if (!finder) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (::FindNextFileW(finder.get(), &found));
    return names;
}

void DeleteFiles(const std::wstring& folder, const wchar_t* pattern) {
    for (const std::wstring& name : ListFiles(folder, pattern)) {
        ::DeleteFileW((folder + name).c_str());
    }
}

LONG RunFilterOnThisThread() {
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    EXCEPTION_POINTERS pointers = {&record, &context};
    return MyUnhandledExceptionHandler(&pointers);
}

}  // namespace EHTEST
