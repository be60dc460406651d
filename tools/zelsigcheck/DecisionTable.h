// Which check of the signature manager decided a file, worked out from the
// manager's own trace lines. The verdict itself always comes from the
// manager's result, never from these lines.
#pragma once

#include <string>
#include <vector>

enum class TraceEvent {
    EmbeddedBegins,             // the embedded check starts (signature index 0)
    SignatureFailed,            // WinTrust refused the signature at the current index
    SignatureAccepted,          // the signature at the current index and its signer passed
    SignatureRefused,           // valid signature, signer (or binding) refused
    SignerName,                 // the signer of the signature WinTrust just checked
    KeyListTried,               // the trusted-key list fallback runs
    KeyListPrimaryMatched,      // ... the primary signer's key is on the list
    KeyListNestedMatched,       // ... a nested signer's key is on the list
    KeyListAccepted,            // ... and the fallback accepted the file
    CertInfoTried,              // the certificate-information fallback runs
    CertInfoNestedEntered,      // ... on a nested signature
    CertInfoSigner,             // ... the signer of the signature it checks
    CertInfoSignatureAccepted,  // ... that signature and signer passed
    CertInfoAccepted,           // ... and the fallback accepted the file
    CatalogTried,               // the catalog fallback runs
    CatalogPath,                // ... the catalog that lists the file
    CatalogHash,                // ... the hash algorithm of the listing
    CatalogAccepted,            // ... and a system signer signed that catalog
};

// One row: a line whose function is `function` and whose text (after
// "function - ") begins with `textPrefix` is `event`; the value of the
// event is the rest of the text.
struct TraceRule {
    const wchar_t* function;
    const wchar_t* textPrefix;
    TraceEvent event;
};

const std::vector<TraceRule>& TraceRules();

enum class DecidingCheck { None, Embedded, KeyList, CertInfo, Catalog };

struct Decision {
    DecidingCheck check = DecidingCheck::None;
    // Embedded and certificate-information checks: 0 for the primary
    // signature, N for the Nth secondary (nested) one. Key list: 0 primary
    // key, 1 a nested signer's key.
    unsigned signatureIndex = 0;
    std::wstring signer;
    std::wstring catalogPath;
    std::wstring catalogAlgorithm;
    // Fallbacks that ran, in order ("trusted-key list", ...).
    std::vector<std::wstring> fallbacksTried;
    // The last signer the embedded check refused, if any.
    std::wstring refusedSigner;
};

// The accepting check named by the trace lines (check None when no line
// names one) and the fallbacks that ran.
Decision DecideFromTrace(const std::vector<std::wstring>& lines);

// "embedded signature, secondary at index 1", "catalog C:\...", ...
std::wstring DescribeCheck(const Decision& decision);
// The check's short name for scripts: "embedded", "trusted-key list", ...
const wchar_t* CheckName(DecidingCheck check);
