#include "SigCheckOptions.h"

#include <cwctype>

#include "ds_stvdsmanager.h"

const wchar_t kSigCheckHelp[] =
    L"Usage: zelsigcheck [--signers maker|system|all|0xFLAGS] [--catalog] [--trace] [--json]\n"
    L"                   FILE...\n"
    L"\n"
    L"Checks each FILE with the product's own signature manager and says whether the\n"
    L"product trusts it, with the result code and its name, which check decided, the\n"
    L"signer, the flags used and the platform generation (single-sign or multiple-sign).\n"
    L"\n"
    L"  --signers maker    admit \"Karvelo, Inc.\" (flags 0x1; the default, as the\n"
    L"                     product's issuer-checked loader asks)\n"
    L"  --signers system   admit the system signers (0x2)\n"
    L"  --signers all      admit both (0x3)\n"
    L"  --signers 0xFLAGS  the manager's flags as given (0x0: any valid signer)\n"
    L"  --catalog          when the embedded signature is refused, try the system\n"
    L"                     catalogs too (adds 0x10000)\n"
    L"  --trace            also print the manager's own trace lines for each file\n"
    L"  --json             one JSON object per file, one per line\n"
    L"  --help             this text\n"
    L"\n"
    L"The trusted-key list is the one the verifier loads from Korvalis.dll beside\n"
    L"zelsigcheck.exe. The invalid-signature record is not written.\n"
    L"\n"
    L"A file that is missing, a folder, empty, not a PE image, longer than 259\n"
    L"characters or locked by another process is not checked: it gets an error line\n"
    L"with its code.\n"
    L"\n"
    L"Exit code: 0 every file is trusted; 1 a file is refused; 2 a usage error or a\n"
    L"file that could not be checked.\n";

namespace {

bool ParseHexFlags(const std::wstring& text, DWORD& dwFlags) {
    if (text.size() < 3 || text.size() > 10 || text[0] != L'0' ||
        (text[1] != L'x' && text[1] != L'X')) {
        return false;
    }
    DWORD value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        if (!std::iswxdigit(text[i])) return false;
        const wchar_t c = static_cast<wchar_t>(std::towlower(text[i]));
        value = (value << 4) | static_cast<DWORD>(c <= L'9' ? c - L'0' : c - L'a' + 10);
    }
    dwFlags = value;
    return true;
}

bool ParseSigners(const std::wstring& value, DWORD& dwFlags) {
    if (value == L"maker") {
        dwFlags = DS_VERIFY_KARVELO_SIGNER;
    } else if (value == L"system") {
        dwFlags = DS_VERIFY_SYSTEM_SIGNERS;
    } else if (value == L"all") {
        dwFlags = DS_VERIFY_KARVELO_SIGNER | DS_VERIFY_SYSTEM_SIGNERS;
    } else {
        return ParseHexFlags(value, dwFlags);
    }
    return true;
}

}  // namespace

bool ParseSigCheckArguments(const std::vector<std::wstring>& args, SigCheckOptions& options,
                            std::wstring& error) {
    options = SigCheckOptions();
    bool catalog = false;
    bool signersGiven = false;
    bool onlyFiles = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (onlyFiles || arg.empty() || arg[0] != L'-' || arg == L"-") {
            options.files.push_back(arg);
        } else if (arg == L"--") {
            onlyFiles = true;
        } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.help = true;
        } else if (arg == L"--catalog") {
            catalog = true;
        } else if (arg == L"--trace") {
            options.trace = true;
        } else if (arg == L"--json") {
            options.json = true;
        } else if (arg == L"--signers" || arg.rfind(L"--signers=", 0) == 0) {
            std::wstring value;
            if (arg == L"--signers") {
                if (i + 1 == args.size()) {
                    error = L"--signers needs a value: maker, system, all or 0xFLAGS";
                    return false;
                }
                value = args[++i];
            } else {
                value = arg.substr(10);
            }
            if (signersGiven) {
                error = L"--signers given twice";
                return false;
            }
            if (!ParseSigners(value, options.dwFlags)) {
                error = L"--signers: '" + value +
                        L"' is not maker, system, all or a hexadecimal 0xFLAGS (up to 8 digits)";
                return false;
            }
            signersGiven = true;
        } else {
            error = L"unknown option '" + arg + L"'";
            return false;
        }
    }
    if (catalog) options.dwFlags |= DS_VERIFY_TRY_CATALOGS;
    if (!options.help && options.files.empty()) {
        error = L"no file to check";
        return false;
    }
    return true;
}
