#include "DecisionTable.h"

#include <algorithm>

namespace {

constexpr wchar_t kEmbeddedSingle[] =
    L"CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign";
constexpr wchar_t kEmbeddedMultiple[] =
    L"CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign";
constexpr wchar_t kKeyList[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";
constexpr wchar_t kGetSigner[] = L"CStvDigitalSignatureManagerEx::GetSignerFromhWVTStateData";
constexpr wchar_t kCertInfo[] = L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo";
constexpr wchar_t kCertInfoFile[] =
    L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile";
constexpr wchar_t kCertInfoBlob[] =
    L"CStvDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob";
constexpr wchar_t kCatalogSingle[] = L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign";
constexpr wchar_t kCatalogMultiple[] =
    L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign";

constexpr wchar_t kSignerCorrect[] = L"find a valid digital signature and signer is correct";
constexpr wchar_t kNoSignerCheck[] = L"find a valid digital signature and no need to check signer";
constexpr wchar_t kSignerIncorrect[] = L"find a valid digital signature but signer is incorrect";

constexpr wchar_t kKeyListFallback[] = L"trusted-key list";
constexpr wchar_t kCertInfoFallback[] = L"certificate information";
constexpr wchar_t kCatalogFallback[] = L"catalog";

void AddTried(Decision& decision, const wchar_t* fallback) {
    std::vector<std::wstring>& tried = decision.fallbacksTried;
    if (std::find(tried.begin(), tried.end(), fallback) == tried.end()) tried.push_back(fallback);
}

// "[name] for the digital signature" -> "name".
std::wstring Bracketed(const std::wstring& value) {
    const size_t close = value.find(L']');
    return close == std::wstring::npos ? value : value.substr(0, close);
}

// Splits "function - text"; false for a line of another shape.
bool SplitLine(const std::wstring& line, std::wstring& function, std::wstring& text) {
    const size_t dash = line.find(L" - ");
    if (dash == std::wstring::npos) return false;
    function = line.substr(0, dash);
    text = line.substr(dash + 3);
    return true;
}

}  // namespace

// The one place that ties the manager's trace texts to checks. When the
// manager gains lines (a refused digest binding, say), add their rows here:
// a line that refuses the signature at the current index is SignatureRefused.
const std::vector<TraceRule>& TraceRules() {
    static const std::vector<TraceRule> rules = {
        {kEmbeddedSingle, L">>> try to verify file=", TraceEvent::EmbeddedBegins},
        {kEmbeddedMultiple, L">>> try to verify file=", TraceEvent::EmbeddedBegins},
        {kEmbeddedSingle, L"failed to call WinVerifyTrust()", TraceEvent::SignatureFailed},
        {kEmbeddedMultiple, L"failed to call WinVerifyTrust()", TraceEvent::SignatureFailed},
        {kEmbeddedSingle, kSignerCorrect, TraceEvent::SignatureAccepted},
        {kEmbeddedMultiple, kSignerCorrect, TraceEvent::SignatureAccepted},
        {kEmbeddedSingle, kNoSignerCheck, TraceEvent::SignatureAccepted},
        {kEmbeddedMultiple, kNoSignerCheck, TraceEvent::SignatureAccepted},
        {kEmbeddedSingle, kSignerIncorrect, TraceEvent::SignatureRefused},
        {kEmbeddedMultiple, kSignerIncorrect, TraceEvent::SignatureRefused},
        {kGetSigner, L"get signer=[", TraceEvent::SignerName},
        {kEmbeddedSingle, L"try to verify by certificate information", TraceEvent::KeyListTried},
        {kEmbeddedMultiple, L"try to verify by certificate information", TraceEvent::KeyListTried},
        {kKeyList, L"Primary signature verified: 1", TraceEvent::KeyListPrimaryMatched},
        {kKeyList, L"Secondary signature verified: 1", TraceEvent::KeyListNestedMatched},
        {kEmbeddedSingle, L"successfully to verify by certificate information",
         TraceEvent::KeyListAccepted},
        {kEmbeddedMultiple, L"successfully to verify by certificate information",
         TraceEvent::KeyListAccepted},
        {kCertInfoFile, L">>>", TraceEvent::CertInfoTried},
        {kCertInfoBlob, L">>>", TraceEvent::CertInfoNestedEntered},
        {kCertInfo, L"signer=", TraceEvent::CertInfoSigner},
        {kCertInfo, kSignerCorrect, TraceEvent::CertInfoSignatureAccepted},
        {kCertInfo, kNoSignerCheck, TraceEvent::CertInfoSignatureAccepted},
        {kCertInfoFile, L"verify result=1", TraceEvent::CertInfoAccepted},
        {kCatalogSingle, L">>> try to verify file=", TraceEvent::CatalogTried},
        {kCatalogMultiple, L">>> try to verify file=", TraceEvent::CatalogTried},
        {kCatalogMultiple, L"catalog file path=", TraceEvent::CatalogPath},
        {kCatalogSingle, L"hash algorithm=", TraceEvent::CatalogHash},
        {kCatalogMultiple, L"hash algorithm=", TraceEvent::CatalogHash},
        {kCatalogSingle, kSignerCorrect, TraceEvent::CatalogAccepted},
        {kCatalogMultiple, kSignerCorrect, TraceEvent::CatalogAccepted},
    };
    return rules;
}

Decision DecideFromTrace(const std::vector<std::wstring>& lines) {
    Decision decision;
    unsigned embeddedIndex = 0;   // signatures the embedded check has decided on so far
    unsigned certInfoNested = 0;  // nested signatures the certificate check entered
    unsigned certInfoAcceptedAt = 0;
    bool keyListNested = false;
    std::wstring signer;  // last signer WinTrust or the certificate check named
    std::wstring certInfoSigner;
    std::wstring catalogPath;
    std::wstring catalogAlgorithm;

    for (const std::wstring& line : lines) {
        std::wstring function;
        std::wstring text;
        if (!SplitLine(line, function, text)) continue;
        for (const TraceRule& rule : TraceRules()) {
            const std::wstring prefix = rule.textPrefix;
            if (function != rule.function || text.compare(0, prefix.size(), prefix) != 0) continue;
            const std::wstring value = text.substr(prefix.size());
            switch (rule.event) {
                case TraceEvent::EmbeddedBegins:
                    embeddedIndex = 0;
                    break;
                case TraceEvent::SignatureFailed:
                    ++embeddedIndex;
                    break;
                case TraceEvent::SignatureRefused:
                    decision.refusedSigner = signer;
                    ++embeddedIndex;
                    break;
                case TraceEvent::SignatureAccepted:
                    decision.check = DecidingCheck::Embedded;
                    decision.signatureIndex = embeddedIndex++;
                    decision.signer = signer;
                    break;
                case TraceEvent::SignerName:
                    signer = Bracketed(value);
                    break;
                case TraceEvent::KeyListTried:
                    AddTried(decision, kKeyListFallback);
                    keyListNested = false;
                    break;
                case TraceEvent::KeyListPrimaryMatched:
                    keyListNested = false;
                    break;
                case TraceEvent::KeyListNestedMatched:
                    keyListNested = true;
                    break;
                case TraceEvent::KeyListAccepted:
                    decision.check = DecidingCheck::KeyList;
                    decision.signatureIndex = keyListNested ? 1 : 0;
                    decision.signer.clear();  // the key check does not trace a name
                    break;
                case TraceEvent::CertInfoTried:
                    AddTried(decision, kCertInfoFallback);
                    certInfoNested = 0;
                    break;
                case TraceEvent::CertInfoNestedEntered:
                    ++certInfoNested;
                    break;
                case TraceEvent::CertInfoSigner:
                    signer = value;
                    break;
                case TraceEvent::CertInfoSignatureAccepted:
                    certInfoAcceptedAt = certInfoNested;
                    certInfoSigner = signer;
                    break;
                case TraceEvent::CertInfoAccepted:
                    decision.check = DecidingCheck::CertInfo;
                    decision.signatureIndex = certInfoAcceptedAt;
                    decision.signer = certInfoSigner;
                    break;
                case TraceEvent::CatalogTried:
                    AddTried(decision, kCatalogFallback);
                    break;
                case TraceEvent::CatalogPath:
                    catalogPath = value;
                    break;
                case TraceEvent::CatalogHash:
                    catalogAlgorithm = value.substr(0, value.find(L','));
                    break;
                case TraceEvent::CatalogAccepted:
                    decision.check = DecidingCheck::Catalog;
                    decision.signatureIndex = 0;
                    decision.signer = signer;
                    decision.catalogPath = catalogPath;
                    decision.catalogAlgorithm = catalogAlgorithm;
                    break;
            }
            break;
        }
    }
    return decision;
}

const wchar_t* CheckName(DecidingCheck check) {
    switch (check) {
        case DecidingCheck::Embedded:
            return L"embedded signature";
        case DecidingCheck::KeyList:
            return kKeyListFallback;
        case DecidingCheck::CertInfo:
            return kCertInfoFallback;
        case DecidingCheck::Catalog:
            return kCatalogFallback;
        case DecidingCheck::None:
            break;
    }
    return L"none";
}

std::wstring DescribeCheck(const Decision& decision) {
    const std::wstring index = std::to_wstring(decision.signatureIndex);
    switch (decision.check) {
        case DecidingCheck::Embedded:
            return decision.signatureIndex == 0
                       ? L"embedded signature, primary"
                       : L"embedded signature, secondary at index " + index;
        case DecidingCheck::KeyList:
            return decision.signatureIndex == 0 ? L"trusted-key list, the primary signer's key"
                                                : L"trusted-key list, a nested signer's key";
        case DecidingCheck::CertInfo:
            return decision.signatureIndex == 0
                       ? L"certificate information, primary signature"
                       : L"certificate information, nested signature " + index;
        case DecidingCheck::Catalog:
            return L"catalog " + decision.catalogPath + L" (" + decision.catalogAlgorithm + L")";
        case DecidingCheck::None:
            break;
    }
    return L"none";
}
