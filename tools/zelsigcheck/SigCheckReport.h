// A file's report as readable text or as one line of JSON.
#pragma once

#include <string>

#include "SigCheck.h"

std::wstring FormatText(const FileReport& report, const CheckContext& context, DWORD dwFlags,
                        bool withTrace);
std::wstring FormatJson(const FileReport& report, const CheckContext& context, DWORD dwFlags,
                        bool withTrace);

// "0x800B0100"
std::wstring HexCode(DWORD code);

// A JSON string literal: quotes, backslashes and control characters escaped.
std::wstring JsonString(const std::wstring& text);
// The report's "decided by" text: the deciding check, or the fallbacks tried.
std::wstring DecidedBy(const FileReport& report);
