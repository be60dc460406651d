#include "DiagOptions.h"

const wchar_t kDiagHelp[] =
    L"Usage: zeldiag [--product FOLDER] [--json] [--bundle FOLDER]\n"
    L"\n"
    L"Is this stvZelSvr installation healthy? Checks it by the product's own rules\n"
    L"and never changes it. Each check is one line: OK, WARN or FAIL, the check's\n"
    L"name, what was found and, for WARN and FAIL, what to do.\n"
    L"\n"
    L"  registration  the service stvZelSvr: image path, start type, service type,\n"
    L"                error control, display name, description; state, process id,\n"
    L"                last exit code\n"
    L"  files         stvZelSvr.exe, KVNotify.dll, libCmdHndlrZel.dll and the other\n"
    L"                libraries in Bin\\x64: present, and trusted by the product's\n"
    L"                signature manager with the maker's flags (0x1)\n"
    L"  settings      Private\\stvZelSvr.ini cleanup hour and minute, the next due time;\n"
    L"                StUninst.ini web-server kind; the value the service really uses\n"
    L"  folders       Local_Path and the temp folders the service creates: present,\n"
    L"                and not links\n"
    L"  dumps         crash dumps in each folder the service purges, against the\n"
    L"                retention settings in force\n"
    L"  peers         a log server on Log_ServerNamePipe, a command manager on\n"
    L"                Global\\ZelModuleCommandManager (looked for, never connected to)\n"
    L"\n"
    L"Options:\n"
    L"  --product FOLDER  the product folder (holding Bin\\x64\\stvZelSvr.exe); without\n"
    L"                    it, the installation the service stvZelSvr is registered from\n"
    L"  --json            one JSON object with every check's fields\n"
    L"  --bundle FOLDER   also writes a support bundle into FOLDER, which must not exist:\n"
    L"                    report.txt, report.json, stvZelSvr.ini, StUninst.ini,\n"
    L"                    registry.txt, dumps.txt (the list, never the dumps) and\n"
    L"                    sigcheck-<file>.json for each library\n"
    L"  --help            this text\n"
    L"\n"
    L"Exit code: 0 every check OK, 1 a WARN or a FAIL, 2 a usage error, no\n"
    L"installation found, or a bundle folder that exists or cannot be made.\n"
    L"A check that needs administrator rights says so (WARN), it never fails the run.\n";

namespace {

bool TakeValue(const std::vector<std::wstring>& args, size_t& index, std::wstring& value,
               std::wstring& error) {
    const std::wstring& option = args[index];
    if (index + 1 >= args.size() || args[index + 1].empty()) {
        error = option + L" needs a folder";
        return false;
    }
    if (!value.empty()) {
        error = option + L" given twice";
        return false;
    }
    value = args[++index];
    return true;
}

}  // namespace

bool ParseDiagArguments(const std::vector<std::wstring>& args, DiagOptions& options,
                        std::wstring& error) {
    for (size_t index = 0; index < args.size(); ++index) {
        const std::wstring& arg = args[index];
        if (arg == L"--help") {
            options.help = true;
        } else if (arg == L"--json") {
            options.json = true;
        } else if (arg == L"--product") {
            if (!TakeValue(args, index, options.product, error)) return false;
        } else if (arg == L"--bundle") {
            if (!TakeValue(args, index, options.bundle, error)) return false;
        } else {
            error = L"unknown argument '" + arg + L"'";
            return false;
        }
    }
    return true;
}
