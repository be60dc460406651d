#include "DiagJson.h"

#include "SigCheckReport.h"

std::wstring FormatReportJson(const Installation& installation, const std::vector<CheckLine>& lines,
                              int exitCode) {
    CheckStatus overall = CheckStatus::Ok;
    for (const CheckLine& line : lines) overall = Worse(overall, line.status);
    std::wstring json = L"{\"installation\":" + JsonString(installation.product);
    json += L",\"found_by\":" +
            JsonString(installation.fromRegistration ? L"registration" : L"--product");
    json += L",\"status\":" + JsonString(StatusName(overall));
    json += L",\"exit_code\":" + std::to_wstring(exitCode);
    json += L",\"checks\":[";
    for (size_t i = 0; i < lines.size(); ++i) {
        const CheckLine& line = lines[i];
        json += i == 0 ? L"{" : L",{";
        json += L"\"status\":" + JsonString(StatusName(line.status));
        json += L",\"name\":" + JsonString(line.name);
        json += L",\"found\":" + JsonString(line.found);
        json += L",\"todo\":" + JsonString(line.todo);
        json += L"}";
    }
    return json + L"]}\n";
}
