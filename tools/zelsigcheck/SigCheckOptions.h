// The command line of zelsigcheck.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct SigCheckOptions {
    DWORD dwFlags = 0x1;  // the maker, as the product's loader asks
    bool trace = false;
    bool json = false;
    bool help = false;
    std::vector<std::wstring> files;
};

// False with `error` set for a usage error.
bool ParseSigCheckArguments(const std::vector<std::wstring>& args, SigCheckOptions& options,
                            std::wstring& error);

extern const wchar_t kSigCheckHelp[];
