#include "DiagMain.h"

#include <ctime>

#include "CheckDumps.h"
#include "CheckFiles.h"
#include "CheckFolders.h"
#include "CheckPeers.h"
#include "CheckRegistration.h"
#include "CheckSettings.h"
#include "DiagBundle.h"
#include "DiagJson.h"
#include "DiagOptions.h"
#include "DiagText.h"
#include "LocateInstallation.h"

namespace {

constexpr int kAllOk = 0;
constexpr int kFindings = 1;
constexpr int kNotRun = 2;

int ExitCodeOf(const std::vector<CheckLine>& lines) {
    for (const CheckLine& line : lines)
        if (line.status != CheckStatus::Ok) return kFindings;
    return kAllOk;
}

template <typename Lines>
void Append(std::vector<CheckLine>& lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
}

}  // namespace

int ZelDiagMain(const std::vector<std::wstring>& args, const DiagWriter& out,
                const DiagWriter& err) {
    DiagOptions options;
    std::wstring error;
    if (!ParseDiagArguments(args, options, error)) {
        err(L"zeldiag: " + error + L"\nTry 'zeldiag --help'.\n");
        return kNotRun;
    }
    if (options.help) {
        out(kDiagHelp);
        return kAllOk;
    }
    const ServiceRegistration registration = ReadServiceRegistration(L"stvZelSvr");
    Installation installation;
    if (!LocateInstallation(options.product, registration, installation, error)) {
        err(L"zeldiag: " + error + L"\n");
        return kNotRun;
    }
    if (!options.bundle.empty() && !CreateBundleFolder(options.bundle, error)) {
        err(L"zeldiag: " + error + L"\n");
        return kNotRun;
    }

    const __time64_t now = _time64(nullptr);
    std::vector<CheckLine> lines{CheckRegistration(installation, registration)};
    if (registration.lookup == RegistrationLookup::Found)
        lines.push_back(CheckRecovery(registration));
    const FileChecks files = CheckFiles(installation);
    Append(lines, files.lines);
    Append(lines, CheckSettings(installation, ServiceStartTime(registration), now));
    lines.push_back(CheckFolders(installation));
    const DumpChecks dumps = CheckDumps(installation, now);
    Append(lines, dumps.lines);
    Append(lines, CheckPeers());

    const int exitCode = ExitCodeOf(lines);
    const std::wstring text = FormatReportText(installation, lines);
    const std::wstring json = FormatReportJson(installation, lines, exitCode);
    out(options.json ? json : text);
    if (options.bundle.empty()) return exitCode;
    if (!WriteBundle(options.bundle, installation, {text, json, &files, &dumps}, error)) {
        err(L"zeldiag: " + error + L"\n");
        return kNotRun;
    }
    return exitCode;
}
