// The checks a file passes before the signature manager sees it: it exists,
// is a file, fits the product's 260-character paths, can be opened, is not
// empty and is a PE image. A file that passes stays open with read sharing
// only until the check is over, so the file verified is the file examined.
#pragma once

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

struct InputFile {
    std::wstring fullPath;     // what the manager is given
    DWORD dwError = 0;         // 0 when the file can be checked
    std::wstring problem;      // one clear line when it cannot
    UTIL::unique_handle hold;  // held open while the check runs
};

InputFile OpenInputFile(const std::wstring& path);
