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
    // (Given with a closing backslash, Wine keeps the letter case as given
    // instead of the case on disk.)
    char* folder = toUnix(windowsPath.substr(0, slash).c_str());
    if (folder == nullptr) return {};
    std::string path = folder;
    ::HeapFree(::GetProcessHeap(), 0, folder);
    std::wstring name = windowsPath.substr(slash + 1);
    if (!name.empty() && name.back() == L'\\') name.pop_back();
    if (path.empty() || path.back() != '/') path += '/';
    return path + Narrow(name);
}

namespace {

bool WriteNewFile(const std::wstring& path, const std::string& text) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                               nullptr);
}

std::string ReadSmallFile(const std::wstring& path) {
    UTIL::unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[16] = {};
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return {};
    return std::string(buffer, read);
}

}  // namespace

bool RunUnixShell(const std::string& script) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"zel_links_" +
                              std::to_wstring(::GetCurrentProcessId()) + L"_" +
                              std::to_wstring(::GetTickCount64());
    const std::wstring scriptPath = base + L".sh";
    const std::wstring donePath = base + L".done";
    const std::string unixScript = UnixPathOf(scriptPath);
    const std::string unixDone = UnixPathOf(donePath);
    if (unixScript.empty() || unixDone.empty() ||
        !WriteNewFile(scriptPath, "set -e\n" + script + "echo ok > " + Quoted(unixDone) + "\n")) {
        return false;
    }
    // Wine starts a Unix program given by its absolute path, but its process
    // handle does not wait for it: the script's last line says it is done.
    const ProcessResult started = RunProcess(
        L"/bin/sh \"" + std::wstring(unixScript.begin(), unixScript.end()) + L"\"", L"", 30000);
    bool done = false;
    for (int poll = 0; started.started && poll < 300 && !done; ++poll) {
        done = ReadSmallFile(donePath) == "ok\n";
        if (!done) ::Sleep(100);
    }
    ::DeleteFileW(scriptPath.c_str());
    ::DeleteFileW(donePath.c_str());
    return done;
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
    const std::string script = m_script;
    m_script.clear();
    return RunUnixShell(script);
}

}  // namespace ZELTEST
