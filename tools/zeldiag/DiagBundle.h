// The support bundle: a folder the tool creates new, holding the report,
// the two settings files, the service's registry configuration, the dump
// list (never the dumps) and the signature report of each file.
#pragma once

#include <string>
#include <vector>

#include "CheckDumps.h"
#include "CheckFiles.h"
#include "DiagReport.h"

// Creates the folder; false with `error` set when it exists already (it is
// never adopted) or cannot be made.
bool CreateBundleFolder(const std::wstring& folder, std::wstring& error);

struct BundleContent {
    std::wstring reportText;
    std::wstring reportJson;
    const FileChecks* files = nullptr;
    const DumpChecks* dumps = nullptr;
};

// Writes every file, each created new; false with `error` naming the first
// file that could not be written (the others are still written).
bool WriteBundle(const std::wstring& folder, const Installation& installation,
                 const BundleContent& content, std::wstring& error);
