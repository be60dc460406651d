#include "SigCheckReport.h"

#include <cwchar>

#include "ResultNames.h"

namespace {

const wchar_t* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Trusted:
            return L"trusted";
        case Verdict::Refused:
            return L"refused";
        case Verdict::Error:
            break;
    }
    return L"error";
}

const wchar_t* PlatformName(const CheckContext& context) {
    return context.multipleSignPlatform ? L"multiple-sign" : L"single-sign";
}

std::wstring Join(const std::vector<std::wstring>& items) {
    std::wstring joined;
    for (const std::wstring& item : items) joined += (joined.empty() ? L"" : L", ") + item;
    return joined;
}

std::wstring KeyList(const CheckContext& context) {
    std::wstring text = std::to_wstring(context.trustedKeys) + L" key(s)";
    if (!context.keyProvider.empty()) text += L" from " + context.keyProvider;
    return text;
}

// JSON string contents: quotes, backslashes and control characters escaped;
// the rest stays as it is (the writer encodes UTF-8).
std::wstring Escaped(const std::wstring& text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c < 0x20) {
            wchar_t escape[8] = {};
            _snwprintf(escape, 7, L"\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring JsonArray(const std::vector<std::wstring>& items) {
    std::wstring out = L"[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? L"," : L"") + JsonString(items[i]);
    return out + L"]";
}

}  // namespace

std::wstring JsonString(const std::wstring& text) {
    return L"\"" + Escaped(text) + L"\"";
}

std::wstring DecidedBy(const FileReport& report) {
    if (report.verdict == Verdict::Error) return L"";
    if (report.verdict == Verdict::Refused) {
        const std::vector<std::wstring>& tried = report.decision.fallbacksTried;
        return L"embedded signature; no fallback accepted the file" +
               (tried.empty() ? std::wstring(L" (none ran)") : L" (tried: " + Join(tried) + L")");
    }
    if (report.decision.check == DecidingCheck::None) {
        return L"unknown: no trace line names the accepting check";
    }
    return DescribeCheck(report.decision);
}

std::wstring HexCode(DWORD code) {
    wchar_t text[16] = {};
    _snwprintf(text, 15, L"0x%08X", code);
    return text;
}

std::wstring FormatText(const FileReport& report, const CheckContext& context, DWORD dwFlags,
                        bool withTrace) {
    std::wstring out = report.fullPath + L"\n";
    const std::wstring code = HexCode(report.dwCode) + L" " + ResultCodeName(report.dwCode);
    if (report.verdict == Verdict::Error) {
        return out + L"  error:      " + report.problem + L" (" + code + L"); not checked\n";
    }
    out += L"  verdict:    " + std::wstring(VerdictName(report.verdict)) + L"\n";
    out += L"  result:     " + code + L"\n";
    out += L"  decided by: " + DecidedBy(report) + L"\n";
    if (!report.decision.signer.empty()) {
        const wchar_t* note = report.verdict == Verdict::Refused ? L" (not allowed)"
                              : report.signerReadByTool
                                  ? L" (primary signature; the check traces no name)"
                                  : L"";
        out += L"  signer:     " + report.decision.signer + note + L"\n";
    }
    out += L"  flags:      " + HexCode(dwFlags) + L"\n";
    out += L"  platform:   " + std::wstring(PlatformName(context)) + L"\n";
    out += L"  key list:   " + KeyList(context) + L"\n";
    if (withTrace) {
        out += L"  trace:\n";
        for (const std::wstring& line : report.trace) out += L"    " + line + L"\n";
    }
    return out;
}

std::wstring FormatJson(const FileReport& report, const CheckContext& context, DWORD dwFlags,
                        bool withTrace) {
    const bool checked = report.verdict != Verdict::Error;
    std::wstring out = L"{\"file\":" + JsonString(report.fullPath);
    out += L",\"verdict\":" + JsonString(VerdictName(report.verdict));
    out += L",\"code\":" + JsonString(HexCode(report.dwCode));
    out += L",\"code_name\":" + JsonString(ResultCodeName(report.dwCode));
    out += L",\"error\":" + JsonString(report.problem);
    out += L",\"decided_by\":" + JsonString(DecidedBy(report));
    out += L",\"check\":" + JsonString(checked && report.decision.check != DecidingCheck::None
                                           ? CheckName(report.decision.check)
                                           : L"");
    out += L",\"signature_index\":" + std::to_wstring(report.decision.signatureIndex);
    out += L",\"signer\":" + JsonString(report.decision.signer);
    out += L",\"catalog\":" + JsonString(report.decision.catalogPath);
    out += L",\"fallbacks_tried\":" + JsonArray(report.decision.fallbacksTried);
    out += L",\"flags\":" + JsonString(HexCode(dwFlags));
    out += L",\"platform\":" + JsonString(PlatformName(context));
    out += L",\"trusted_keys\":" + std::to_wstring(context.trustedKeys);
    if (withTrace) out += L",\"trace\":" + JsonArray(report.trace);
    return out + L"}\n";
}
