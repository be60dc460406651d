#include "SigCheckMain.h"

#include <exception>
#include <new>

#include "SigCheck.h"
#include "SigCheckOptions.h"
#include "SigCheckReport.h"

namespace {

constexpr int kAllTrusted = 0;
constexpr int kRefused = 1;
constexpr int kNotChecked = 2;

int ExitCodeOf(Verdict verdict) {
    switch (verdict) {
        case Verdict::Trusted:
            return kAllTrusted;
        case Verdict::Refused:
            return kRefused;
        case Verdict::Error:
            break;
    }
    return kNotChecked;
}

FileReport Unfinished(const std::wstring& file, DWORD dwError) {
    FileReport report;
    report.file = file;
    report.fullPath = file;
    report.dwCode = dwError;
    report.problem = L"the check could not complete";
    return report;
}

}  // namespace

int ZelSigCheckMain(const std::vector<std::wstring>& args, const SigCheckWriter& out,
                    const SigCheckWriter& err) {
    SigCheckOptions options;
    std::wstring error;
    if (!ParseSigCheckArguments(args, options, error)) {
        err(L"zelsigcheck: " + error + L"\nTry 'zelsigcheck --help'.\n");
        return kNotChecked;
    }
    if (options.help) {
        out(kSigCheckHelp);
        return kAllTrusted;
    }
    const CheckContext context = PrepareCheckContext();
    int exitCode = kAllTrusted;
    for (const std::wstring& file : options.files) {
        FileReport report;
        // A check that cannot complete makes that file an error, never
        // trusted; the other files are still checked.
        try {
            report = CheckFile(file, options.dwFlags);
        } catch (const std::bad_alloc&) {
            report = Unfinished(file, ERROR_NOT_ENOUGH_MEMORY);
        } catch (const std::exception&) {
            report = Unfinished(file, ERROR_INTERNAL_ERROR);
        }
        out(options.json ? FormatJson(report, context, options.dwFlags, options.trace)
                         : FormatText(report, context, options.dwFlags, options.trace));
        const int fileExit = ExitCodeOf(report.verdict);
        if (fileExit > exitCode) exitCode = fileExit;
    }
    return exitCode;
}
