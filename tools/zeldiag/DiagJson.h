// The report as one JSON object: the installation and every check's fields.
#pragma once

#include <string>
#include <vector>

#include "DiagReport.h"

// {"installation":..,"found_by":..,"status":..,"exit_code":..,"checks":[
//  {"status":..,"name":..,"found":..,"todo":..},...]} on one line.
std::wstring FormatReportJson(const Installation& installation, const std::vector<CheckLine>& lines,
                              int exitCode);
