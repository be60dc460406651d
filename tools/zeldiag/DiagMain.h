// zeldiag as a function: the executable's wmain and the tests call it.
#pragma once

#include <functional>
#include <string>
#include <vector>

using DiagWriter = std::function<void(const std::wstring&)>;

// Exit code: 0 every check OK, 1 a WARN or FAIL, 2 a usage error, no
// installation, or a bundle that could not be written.
int ZelDiagMain(const std::vector<std::wstring>& args, const DiagWriter& out,
                const DiagWriter& err);
