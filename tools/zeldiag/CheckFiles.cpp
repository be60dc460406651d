#include "CheckFiles.h"

#include <exception>

#include "ResultNames.h"
#include "SigCheckReport.h"

namespace {

struct ProductFile {
    const wchar_t* name;
    bool required;
    const wchar_t* whenMissing;  // what the service does without it
};

// The files the service runs from Bin\x64. The optional ones are copied in
// only for the stop of protected sibling services, or hold the trusted-key
// list; each is checked when it is there.
constexpr ProductFile kProductFiles[] = {
    {L"stvZelSvr.exe", true, L"the service cannot start"},
    {L"KVNotify.dll", true, L"the service imports it at load time and cannot start"},
    {L"libCmdHndlrZel.dll", true, L"the service stops its start with 126 (ERROR_MOD_NOT_FOUND)"},
    {L"Korvalis.dll", false, nullptr},
    {L"StvPIPC_64x.dll", false, nullptr},
    {L"Quorlin.dll", false, nullptr},
    {L"Pelsade.dll", false, nullptr},
    {L"Wextrom.dll", false, nullptr},
};

std::wstring CodeText(DWORD code) {
    return HexCode(code) + L" " + ResultCodeName(code);
}

FileReport CheckOneFile(const std::wstring& path) {
    // A check that cannot complete is an error, never a trusted file.
    try {
        return CheckFile(path, kMakerFlags);
    } catch (const std::exception&) {
        FileReport report;
        report.file = report.fullPath = path;
        report.dwCode = ERROR_INTERNAL_ERROR;
        report.problem = L"the check could not complete";
        return report;
    }
}

CheckLine LineOf(const ProductFile& file, const FileReport& report) {
    const std::wstring name = std::wstring(L"files ") + file.name;
    const std::wstring flags = L" (flags " + HexCode(kMakerFlags) + L")";
    switch (report.verdict) {
        case Verdict::Trusted:
            return Ok(name, L"trusted, signer " + report.decision.signer + L", " +
                                DecidedBy(report) + flags);
        case Verdict::Refused:
            return Fail(name,
                        L"refused: " + CodeText(report.dwCode) + L", " + DecidedBy(report) + flags,
                        L"replace it with the product's signed file: the product refuses this "
                        L"one (zelsigcheck says why)");
        case Verdict::Error:
            break;
    }
    return Fail(name, L"not checked: " + report.problem + L" (" + CodeText(report.dwCode) + L")",
                L"make the file readable for the check, then run zeldiag again");
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

FileChecks CheckFiles(const Installation& installation) {
    FileChecks checks;
    checks.context = PrepareCheckContext();
    for (const ProductFile& file : kProductFiles) {
        const std::wstring path = installation.Binaries() + file.name;
        if (!Exists(path) && GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (file.required)
                checks.lines.push_back(
                    Fail(std::wstring(L"files ") + file.name, L"missing: " + path,
                         std::wstring(L"restore it from the product's installation: ") +
                             file.whenMissing));
            continue;
        }
        FileReport report = CheckOneFile(path);
        checks.lines.push_back(LineOf(file, report));
        checks.reports.push_back(std::move(report));
    }
    return checks;
}
