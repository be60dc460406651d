// zelsigcheck as a function: the executable's wmain and the tests call it.
#pragma once

#include <functional>
#include <string>
#include <vector>

using SigCheckWriter = std::function<void(const std::wstring&)>;

// Exit code: 0 every file trusted, 1 a file refused, 2 a usage error or a
// file that could not be checked.
int ZelSigCheckMain(const std::vector<std::wstring>& args, const SigCheckWriter& out,
                    const SigCheckWriter& err);
