// One file through the signature manager's own entry point, with the
// manager's trace lines of that check and what they say decided it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "DecisionTable.h"

enum class Verdict { Trusted, Refused, Error };

struct FileReport {
    std::wstring file;      // as given on the command line
    std::wstring fullPath;  // as the manager was given it
    Verdict verdict = Verdict::Error;
    DWORD dwCode = 0;      // the manager's code, or the input error
    std::wstring problem;  // input error: why the file could not be checked
    Decision decision;
    // The signer was not in the deciding check's trace and was read from
    // the primary signature by the tool.
    bool signerReadByTool = false;
    std::vector<std::wstring> trace;  // "L text", L the level letter
};

// What the process found once: the platform generation and the key list.
struct CheckContext {
    bool multipleSignPlatform = false;
    int trustedKeys = 0;
    std::wstring keyProvider;  // the provider the verifier tried, or empty
};

// Creates the manager's platform probe and verifier (and so loads the
// trusted-key list) and reports what they found.
CheckContext PrepareCheckContext();

FileReport CheckFile(const std::wstring& file, DWORD dwFlags);
