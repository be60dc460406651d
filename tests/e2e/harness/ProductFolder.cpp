#include "ProductFolder.h"

#include <vector>

#include "UniqueHandle.h"

namespace ZELTEST {

std::wstring WinePathOf(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p != '\0'; ++p) {
        path += (*p == '/') ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return path;
}

bool CreateFolders(const std::wstring& folder) {
    for (size_t pos = folder.find(L'\\', 3); pos != std::wstring::npos;
         pos = folder.find(L'\\', pos + 1)) {
        const std::wstring part = folder.substr(0, pos);
        if (!::CreateDirectoryW(part.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

void RemoveTree(const std::wstring& folder) {
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    WIN32_FIND_DATAW data;
    UTIL::unique_find_handle find(::FindFirstFileW((base + L"*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = base + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(base.c_str());
}

CLocalPathValue::CLocalPathValue(const std::wstring& path) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Karvelo\\Sentavo\\service\\Information", 0,
                    nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, m_key.put(), nullptr);
    RegSetValueExW(m_key.get(), L"Local_Path", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
}

CLocalPathValue::~CLocalPathValue() {
    RegDeleteValueW(m_key.get(), L"Local_Path");
}

CProductFolder::CProductFolder(const wchar_t* name)
    : m_root(std::wstring(L"C:\\zeltest\\") + name + L"\\") {
    RemoveTree(m_root);  // leftovers of an interrupted run
    CreateFolders(m_root);
}

CProductFolder::~CProductFolder() {
    RemoveTree(m_root);
}

std::wstring CProductFolder::CopyIn(const std::wstring& source,
                                    const std::wstring& relativePath) const {
    const std::wstring destination = m_root + relativePath;
    CreateFolders(destination.substr(0, destination.rfind(L'\\') + 1));
    if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE)) return L"";
    return destination;
}

std::wstring CProductFolder::InstallExe(const std::wstring& source) const {
    const std::wstring folder = source.substr(0, source.rfind(L'\\') + 1);
    const std::wstring fileName = source.substr(folder.size());
    // The executable imports the notifier at load time: it travels along.
    const std::wstring notifier = folder + L"KVNotify.dll";
    if (::GetFileAttributesW(notifier.c_str()) != INVALID_FILE_ATTRIBUTES)
        CopyIn(notifier, L"Bin\\x64\\KVNotify.dll");
    return CopyIn(source, L"Bin\\x64\\" + fileName);
}

bool CProductFolder::WriteIni(const std::wstring& relativePath, const wchar_t* section,
                              const wchar_t* key, const wchar_t* value) const {
    const std::wstring path = m_root + relativePath;
    CreateFolders(path.substr(0, path.rfind(L'\\') + 1));
    return ::WritePrivateProfileStringW(section, key, value, path.c_str()) != FALSE;
}

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentFolder,
                         DWORD timeoutMs) {
    ProcessResult result;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup,
                          &info)) {
        return result;
    }
    UTIL::unique_handle process(info.hProcess);
    UTIL::unique_handle thread(info.hThread);
    result.started = true;
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), INFINITE);
        return result;
    }
    result.finished = true;
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

}  // namespace ZELTEST
