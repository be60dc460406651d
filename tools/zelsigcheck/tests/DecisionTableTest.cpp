// The decision table on trace lines as the manager writes them, for the one
// path the process tests cannot reach: the multiple-sign catalog rounds,
// whose check traces the catalog's path itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecisionTable.h"

namespace {

const std::wstring kCatalog = L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign - ";

struct TableCase {
    std::vector<std::wstring> lines;
    std::wstring described;
    std::wstring signer;
    std::vector<std::wstring> tried;
};

TEST(zelsigcheck_DecisionTable, TraceLinesNameTheAcceptingCheck) {
    const TableCase cases[] = {
        {{kCatalog + L">>> try to verify file=C:\\x.dll",
          kCatalog + L"create context with algorithm=SHA1",
          kCatalog + L"failed to call CryptCATAdminEnumCatalogFromHash(), err=1168",
          kCatalog + L"create context with algorithm=SHA256",
          kCatalog + L"catalog file path=C:\\cat\\x.cat",
          kCatalog + L"hash algorithm=SHA256, file hash=A0A1",
          L"CStvDigitalSignatureManagerEx::GetSignerFromhWVTStateData - get signer=[Microsoft "
          L"Windows] for the digital signature",
          kCatalog + L"find a valid digital signature and signer is correct", kCatalog + L"<<<"},
         L"catalog C:\\cat\\x.cat (SHA256)",
         L"Microsoft Windows",
         {L"catalog"}},
        {{kCatalog + L">>> try to verify file=C:\\x.dll",
          kCatalog + L"failed to call WinVerifyTrust(), err=800b0100", L"unrelated line",
          L"CStvDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign - catalog file path=C:\\y"},
         L"none",
         L"",
         {L"catalog"}},
    };
    for (const TableCase& c : cases) {
        const Decision decision = DecideFromTrace(c.lines);
        EXPECT_EQ(DescribeCheck(decision), c.described);
        EXPECT_EQ(decision.signer, c.signer);
        EXPECT_EQ(decision.fallbacksTried, c.tried);
    }
}

}  // namespace
