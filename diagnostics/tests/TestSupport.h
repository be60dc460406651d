// Small helpers shared by the trace tests.
#pragma once

#include <windows.h>

#include <string>

namespace TRACETEST {

// The file name of this test executable, as the composed line names it.
inline std::wstring ExeName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH - 1);
    const std::wstring full = path;
    return full.substr(full.rfind(L'\\') + 1);
}

}  // namespace TRACETEST
