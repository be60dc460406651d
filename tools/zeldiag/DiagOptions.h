// The command line of zeldiag.
#pragma once

#include <string>
#include <vector>

struct DiagOptions {
    std::wstring product;  // --product FOLDER, or empty: from the registration
    std::wstring bundle;   // --bundle FOLDER, or empty
    bool json = false;
    bool help = false;
};

// False with `error` set for a usage error.
bool ParseDiagArguments(const std::vector<std::wstring>& args, DiagOptions& options,
                        std::wstring& error);

extern const wchar_t kDiagHelp[];
