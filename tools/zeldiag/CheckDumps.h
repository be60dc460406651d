// Check 5: crash dumps in each folder the service purges, against the
// retention settings in force.
#pragma once

#include <windows.h>

#include <ctime>
#include <string>
#include <vector>

#include "DiagReport.h"

struct DumpFile {
    std::wstring path;
    unsigned long long bytes = 0;
    __time64_t lastWrite = 0;
};

struct DumpChecks {
    std::vector<CheckLine> lines;
    std::vector<DumpFile> dumps;  // every folder's, for the bundle's list
};

DumpChecks CheckDumps(const Installation& installation, __time64_t now);

// The dump list as the bundle writes it: one dump per line.
std::wstring FormatDumpList(const std::vector<DumpFile>& dumps);
