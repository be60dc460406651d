// A product folder laid out for one test in the prefix's C: drive, removed
// again when the object goes: C:\zeltest\<name>\ with the executable two
// levels below it (as installed) and the INI files the test writes.
#pragma once

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace ZELTEST {

// A Linux path of the build tree as Wine sees it (through drive Z:).
std::wstring WinePathOf(const char* unixPath);

class CProductFolder {
public:
    explicit CProductFolder(const wchar_t* name);
    ~CProductFolder();
    CProductFolder(const CProductFolder&) = delete;
    CProductFolder& operator=(const CProductFolder&) = delete;

    // "C:\zeltest\<name>\" with its trailing backslash.
    const std::wstring& Root() const { return m_root; }

    // Copies a file to Root + relative path, creating folders; returns the
    // full destination path, empty on failure.
    std::wstring CopyIn(const std::wstring& source, const std::wstring& relativePath) const;
    // Copies the executable to Root + "Bin\x64\" + its file name.
    std::wstring InstallExe(const std::wstring& source) const;
    bool WriteIni(const std::wstring& relativePath, const wchar_t* section, const wchar_t* key,
                  const wchar_t* value) const;

private:
    std::wstring m_root;
};

// Points the product's "Local_Path" (64-bit view) at a folder for one test,
// and removes the value again when the object goes.
class CLocalPathValue {
public:
    explicit CLocalPathValue(const std::wstring& path);
    ~CLocalPathValue();
    CLocalPathValue(const CLocalPathValue&) = delete;
    CLocalPathValue& operator=(const CLocalPathValue&) = delete;

private:
    UTIL::unique_hkey m_key;
};

// Makes every folder of a path that ends in a backslash.
bool CreateFolders(const std::wstring& folder);
// Deletes a folder and everything below it.
void RemoveTree(const std::wstring& folder);

struct ProcessResult {
    bool started = false;
    bool finished = false;  // false when the time-out struck (the process is killed)
    DWORD exitCode = 0;
};

// Runs a command line (with the given current folder, or ours when empty)
// and waits for its end.
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentFolder = L"",
                         DWORD timeoutMs = 120000);

}  // namespace ZELTEST
