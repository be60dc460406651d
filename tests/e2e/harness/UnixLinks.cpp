#include "UnixLinks.h"

#include <windows.h>

#include "ProductFolder.h"
#include "UniqueHandle.h"

namespace ZELTEST {

namespace {

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

}  // namespace

std::string UnixPathOf(const std::wstring& windowsPath) {
    using WineGetUnixName = char*(__cdecl*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<WineGetUnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const size_t slash = windowsPath.find_last_of(L'\\', windowsPath.size() - 2);
    if (toUnix == nullptr || slash == std::wstring::npos) return {};
    // The folder exists; the last component may be still to be made.
    char* folder = toUnix(windowsPath.substr(0, slash + 1).c_str());
    if (folder == nullptr) return {};
    std::string path = folder;
    ::HeapFree(::GetProcessHeap(), 0, folder);
    std::wstring name = windowsPath.substr(slash + 1);
    if (!name.empty() && name.back() == L'\\') name.pop_back();
    if (path.empty() || path.back() != '/') path += '/';
    return path + Narrow(name);
}

bool RunUnixShell(const std::string& script) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring scriptPath = std::wstring(temp) + L"zel_links_" +
                                    std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                    std::to_wstring(::GetTickCount64()) + L".sh";
    {
        UTIL::unique_handle file(::CreateFileW(scriptPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()),
                                  &written, nullptr)) {
            return false;
        }
    }
    const std::string unixScript = UnixPathOf(scriptPath);
    // Wine starts a Unix program given by its absolute path.
    const ProcessResult result =
        RunProcess(L"/bin/sh \"" + std::wstring(unixScript.begin(), unixScript.end()) + L"\"",
                   L"", 30000);
    ::DeleteFileW(scriptPath.c_str());
    return !unixScript.empty() && result.finished && result.exitCode == 0;
}

CPlantedLinks::~CPlantedLinks() {
    RemoveAll();
}

void CPlantedLinks::RemoveAll() {
    std::string script;
    for (const std::string& link : m_links) script += "rm -f " + Quoted(link) + "\n";
    m_links.clear();
    if (!script.empty()) RunUnixShell(script);
}

void CPlantedLinks::Add(const std::wstring& target, const std::wstring& link) {
    const std::string unixLink = UnixPathOf(link);
    m_links.push_back(unixLink);
    m_script += "ln -s " + Quoted(UnixPathOf(target)) + " " + Quoted(unixLink) + "\n";
}

bool CPlantedLinks::Plant() {
    const std::string script = "set -e\n" + m_script;
    m_script.clear();
    return RunUnixShell(script);
}

}  // namespace ZELTEST
