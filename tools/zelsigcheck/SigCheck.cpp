#include "SigCheck.h"

#include <mutex>

#include "CatalogLookup.h"
#include "InputFile.h"
#include "PrimarySigner.h"
#include "TraceObserver.h"
#include "ds_stvdsmanager.h"

namespace {

// The trace lines of the code that runs while it is installed, in order.
class CTraceLines : public ITraceObserver {
public:
    void OnTraceLine(int level, const wchar_t* text) override {
        std::wstring line(1, LevelLetter(level));
        line += L' ';
        line += text;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::move(line));
    }
    std::vector<std::wstring> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    static wchar_t LevelLetter(int level) {
        if (level >= 'A' && level <= 'Z') return static_cast<wchar_t>(level);
        return static_cast<wchar_t>(L'0' + (level % 10 + 10) % 10);  // numeric levels 0-9
    }

    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

// The texts without their level letter, as the decision table reads them.
std::vector<std::wstring> Texts(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> texts;
    for (const std::wstring& line : lines) texts.push_back(line.substr(2));
    return texts;
}

const wchar_t kKeysLoaded[] =
    L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList - Total keys loaded: ";
const wchar_t kProviderTried[] = L"CVerifyFileSignV2::LoadKorvalisAndUpdatePublicKeyList - << ";

}  // namespace

CheckContext PrepareCheckContext() {
    CTraceLines capture;
    CheckContext context;
    {
        CScopedTraceObserver observe(capture);
        context.multipleSignPlatform = CSingletonWinTrustHelper::Instance().SupportsMultipleSign();
        GetVerifyFileSignV2();
    }
    for (const std::wstring& text : Texts(capture.Lines())) {
        if (text.rfind(kKeysLoaded, 0) == 0) {
            context.trustedKeys = _wtoi(text.c_str() + wcslen(kKeysLoaded));
        } else if (text.rfind(kProviderTried, 0) == 0) {
            context.keyProvider = text.substr(wcslen(kProviderTried));
        }
    }
    return context;
}

FileReport CheckFile(const std::wstring& file, DWORD dwFlags) {
    FileReport report;
    report.file = file;
    InputFile input = OpenInputFile(file);
    report.fullPath = input.fullPath;
    if (input.dwError != 0) {
        report.dwCode = input.dwError;
        report.problem = input.problem;
        return report;
    }

    CTraceLines capture;
    VerifyResult result;
    {
        CScopedTraceObserver observe(capture);
        // Not VerifyDigitalSignatureAndLog: the invalid-signature record must
        // keep naming the product's own last refusal, not this tool's.
        result = CStvDigitalSignatureManagerEx::VerifyDigitalSignature(input.fullPath.c_str(),
                                                                       dwFlags, false);
    }
    report.trace = capture.Lines();
    report.dwCode = result.dwErrorCode;
    // The verdict is the manager's, whatever the lines say.
    report.verdict = result.bVerified ? Verdict::Trusted : Verdict::Refused;
    report.decision = DecideFromTrace(Texts(report.trace));
    if (!result.bVerified) {
        // A refusal is the embedded check's: no fallback changes its code.
        Decision refused;
        refused.check = DecidingCheck::Embedded;
        refused.signer = report.decision.refusedSigner;
        refused.refusedSigner = report.decision.refusedSigner;
        refused.fallbacksTried = report.decision.fallbacksTried;
        report.decision = refused;
    } else if (report.decision.check == DecidingCheck::Catalog &&
               report.decision.catalogPath.empty()) {
        // The single-sign catalog check does not trace its catalog's path.
        report.decision.catalogPath = FirstCatalogListing(input.hold.get());
    } else if (report.decision.signer.empty() && report.decision.signatureIndex == 0 &&
               report.decision.check != DecidingCheck::None) {
        // Without a signer check (flags 0) and in the key list, the deciding
        // check names no signer; the primary signature's is the one it used.
        report.decision.signer = ReadPrimarySignerName(input.fullPath);
        report.signerReadByTool = !report.decision.signer.empty();
    }
    return report;
}
