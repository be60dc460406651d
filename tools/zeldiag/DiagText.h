// The report as text: a heading, then one line per check.
#pragma once

#include <string>
#include <vector>

#include "DiagReport.h"

// "OK   name: found" or "WARN name: found -> todo"
std::wstring FormatCheckLine(const CheckLine& line);

std::wstring FormatReportText(const Installation& installation,
                              const std::vector<CheckLine>& lines);
