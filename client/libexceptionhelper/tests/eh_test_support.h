// Helpers for the crash-dump helper's tests: registry values that restore
// themselves, dump files with a chosen age, folder listings.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace EHTEST {

// Sets one DWORD under the helper's key for the test's lifetime.
class CScopedDumpSetting {
public:
    CScopedDumpSetting(const wchar_t* valueName, DWORD value);
    ~CScopedDumpSetting();
    CScopedDumpSetting(const CScopedDumpSetting&) = delete;
    CScopedDumpSetting& operator=(const CScopedDumpSetting&) = delete;

private:
    std::wstring m_valueName;
    std::optional<DWORD> m_previous;
};

std::wstring WorkingFolder();  // the test executable's folder, trailing backslash
bool CreateDumpFile(const std::wstring& path, int ageDays = 0);
bool FileExists(const std::wstring& path);
std::vector<std::wstring> ListFiles(const std::wstring& folder, const wchar_t* pattern);
void DeleteFiles(const std::wstring& folder, const wchar_t* pattern);
// Runs the filter with a captured context, as a crash of this thread would.
LONG RunFilterOnThisThread();

}  // namespace EHTEST
