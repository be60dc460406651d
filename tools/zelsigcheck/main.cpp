// zelsigcheck: why does the product trust or refuse a file?
#include <windows.h>

#include <string>
#include <vector>

#include "SigCheckMain.h"
#include "StdText.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    return ZelSigCheckMain(
        args, [](const std::wstring& text) { UTIL::WriteStdText(STD_OUTPUT_HANDLE, text); },
        [](const std::wstring& text) { UTIL::WriteStdText(STD_ERROR_HANDLE, text); });
}
