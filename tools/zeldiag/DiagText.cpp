#include "DiagText.h"

std::wstring FormatCheckLine(const CheckLine& line) {
    std::wstring text = StatusName(line.status);
    text.resize(5, L' ');
    text += line.name + L": " + line.found;
    if (line.status != CheckStatus::Ok) text += L" -> " + line.todo;
    return text;
}

std::wstring FormatReportText(const Installation& installation,
                              const std::vector<CheckLine>& lines) {
    std::wstring text = L"installation " + installation.product +
                        (installation.fromRegistration ? L" (from the service's registration)"
                                                       : L" (given with --product)") +
                        L"\n";
    for (const CheckLine& line : lines) text += FormatCheckLine(line) + L"\n";
    return text;
}
