// Check 2: the executable and the libraries the service loads from its
// folder, each through the product's signature manager.
#pragma once

#include <vector>

#include "DiagReport.h"
#include "SigCheck.h"

// Flags of the issuer-checked loads: the maker's signature only.
constexpr DWORD kMakerFlags = 0x1;

struct FileChecks {
    std::vector<CheckLine> lines;
    std::vector<FileReport> reports;  // one per file that was there
    CheckContext context;
};

FileChecks CheckFiles(const Installation& installation);
