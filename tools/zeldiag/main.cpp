// zeldiag: is this installation healthy?
#include <windows.h>

#include <string>
#include <vector>

#include "DiagMain.h"
#include "StdText.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    return ZelDiagMain(
        args, [](const std::wstring& text) { UTIL::WriteStdText(STD_OUTPUT_HANDLE, text); },
        [](const std::wstring& text) { UTIL::WriteStdText(STD_ERROR_HANDLE, text); });
}
