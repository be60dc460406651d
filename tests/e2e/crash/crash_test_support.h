// What both crash test executables need: where they run from, and the dump
// names a folder holds.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UniqueHandle.h"

namespace CRASHTEST {

// The test executable's folder, with its trailing separator.
inline std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

// The names in `folder` that match `pattern`, sorted.
inline std::vector<std::wstring> Names(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UTIL::unique_find_handle finder(::FindFirstFileW((folder + pattern).c_str(), &found));
    if (!finder) return names;
    do {
        names.push_back(found.cFileName);
    } while (::FindNextFileW(finder.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace CRASHTEST
