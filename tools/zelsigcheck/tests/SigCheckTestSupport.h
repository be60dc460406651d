// Helpers of the zelsigcheck tests: the signed test files of the build, a
// run of the executable with its output, the fields of a report, and a
// reader for the flat JSON objects it writes.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace SIGCHECKTEST {

// A test file of the signature manager's build ("ds_karvelo.dll", ...).
std::wstring DsFile(const wchar_t* name);

struct ToolRun {
    bool finished = false;
    DWORD exitCode = 0;
    std::wstring output;  // stdout and stderr together
};

// zelsigcheck.exe with the arguments, given a minute.
ToolRun RunTool(const std::wstring& arguments);

// The value of the report line "  <name>: <value>", or "<absent>".
std::wstring Field(const std::wstring& report, const std::wstring& name);

struct JsonValue {
    std::wstring text;                // a string, or a number as written
    std::vector<std::wstring> items;  // an array of strings
    bool isArray = false;
};
using JsonObject = std::map<std::wstring, JsonValue>;

// One flat object (strings, numbers, arrays of strings); false when the
// text is not one.
bool ParseJsonObject(const std::wstring& text, JsonObject& object);

}  // namespace SIGCHECKTEST
