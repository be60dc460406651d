#include "SigCheckMain.h"

#include "SigCheck.h"
#include "SigCheckOptions.h"
#include "SigCheckReport.h"

namespace {

constexpr int kAllTrusted = 0;
constexpr int kRefused = 1;
constexpr int kNotChecked = 2;

int ExitCodeOf(Verdict verdict) {
    switch (verdict) {
    case Verdict::Trusted: return kAllTrusted;
    case Verdict::Refused: return kRefused;
    case Verdict::Error: break;
    }
    return kNotChecked;
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
        const FileReport report = CheckFile(file, options.dwFlags);
        out(options.json ? FormatJson(report, context, options.dwFlags, options.trace)
                         : FormatText(report, context, options.dwFlags, options.trace));
        const int fileExit = ExitCodeOf(report.verdict);
        if (fileExit > exitCode) exitCode = fileExit;
    }
    return exitCode;
}
