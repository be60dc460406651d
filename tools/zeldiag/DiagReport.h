// One line of the health report: a check's verdict, what it found and, for
// a warning or a failure, what to do about it.
#pragma once

#include <string>
#include <vector>

enum class CheckStatus { Ok, Warn, Fail };

struct CheckLine {
    CheckStatus status = CheckStatus::Fail;
    std::wstring name;   // "registration", "files KVNotify.dll", ...
    std::wstring found;  // what the check saw
    std::wstring todo;   // empty for OK
};

// The installation the checks look at.
struct Installation {
    std::wstring product;  // the product folder, with a trailing backslash
    std::wstring exe;      // product + "Bin\x64\stvZelSvr.exe"
    bool fromRegistration = false;
    std::wstring Binaries() const { return product + L"Bin\\x64\\"; }
};

// "OK", "WARN", "FAIL"
const wchar_t* StatusName(CheckStatus status);

CheckLine Ok(const std::wstring& name, const std::wstring& found);
CheckLine Warn(const std::wstring& name, const std::wstring& found, const std::wstring& todo);
CheckLine Fail(const std::wstring& name, const std::wstring& found, const std::wstring& todo);

// A check that could not be made without rights says so: never a failure.
CheckLine NeedsAdministrator(const std::wstring& name, const std::wstring& what);

// The worse of the two.
CheckStatus Worse(CheckStatus left, CheckStatus right);

// Items joined with "; " (empty items left out).
std::wstring JoinParts(const std::vector<std::wstring>& parts);
