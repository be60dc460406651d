// Command manager companion: prints every command message it receives.
// Usage: cmdmanager [connections]   (0 or none: serve without end)
#include <cstdio>
#include <cwchar>

#include "cmd_manager.h"

int wmain(int argc, wchar_t** argv) {
    const unsigned connections =
        argc > 1 ? static_cast<unsigned>(wcstoul(argv[1], nullptr, 10)) : 0;
    fwprintf(stdout, L"command manager listening on %ls\n", CMDMGR::kPipePath);
    fflush(stdout);
    return CMDMGR::ServeCommandManager(CMDMGR::kPipePath, connections, stdout) ? 0 : 1;
}
