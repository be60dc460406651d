// zeldiag: is this installation healthy?
#include <windows.h>

#include <string>
#include <vector>

#include "DiagMain.h"

namespace {

// A console gets wide text as it is; a pipe or a file gets UTF-8.
void Write(DWORD stdHandle, const std::wstring& text) {
    const HANDLE handle = ::GetStdHandle(stdHandle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int cb = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return;
    std::string utf8(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], cb,
                          nullptr, nullptr);
    ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    return ZelDiagMain(
        args, [](const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); },
        [](const std::wstring& text) { Write(STD_ERROR_HANDLE, text); });
}
