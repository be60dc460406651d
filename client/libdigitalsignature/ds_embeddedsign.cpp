// Verification of the embedded Authenticode signature on both platform
// generations, with the trusted-key list as the fallback when WinTrust fails.
#include "ds_stvdsmanager.h"

#include "DebugTrace.h"
#include "ds_trustcall.h"
#include "multiplesigncheck.h"

namespace {

constexpr wchar_t kSingleSign[] =
    L"CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign";
constexpr wchar_t kMultipleSign[] =
    L"CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign";

using Manager = CStvDigitalSignatureManagerEx;

void TraceWinTrustFailure(const wchar_t* function, LONG status) {
    const DWORD lastError = ::GetLastError();
    DebugTraceW('D', TRACE_SRC_W,
                L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x", function,
                status, lastError);
}

// The trusted-key fallback of the verifier, with the caller's settings.
bool VerifyByCertInfo(const wchar_t* function, LPCWSTR pwszFile, WINTRUST_DATA& trustData) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - try to verify by certificate information", function);
    const bool verified =
        GetVerifyFileSignV2().VerifyEmbeddedSignatureByCertInfo(pwszFile, &trustData, 0);
    if (verified) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - successfully to verify by certificate information",
                    function);
    } else {
        DebugTraceW('D', TRACE_SRC_W, L"%s - failed to verify by certificate information",
                    function);
    }
    return verified;
}

VerifyResult Finish(const wchar_t* function, bool verified, DWORD dwError) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - <<<", function);
    return verified ? VerifyResult{0, true} : VerifyResult{dwError, false};
}

}  // namespace

VerifyResult CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign(LPCWSTR pwszFile,
                                                                              DWORD dwFlags) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>> try to verify file=%s", kSingleSign, pwszFile);
    bool verified = false;
    DWORD dwError = 0;
    {
        // The state is closed before the file (destruction order).
        DSM::CEmbeddedSubject subject(pwszFile);
        DSM::CTrustVerification trust;
        DSM::InitTrustData(trust.Data(), WTD_CHOICE_FILE);
        trust.Data().pFile = subject.FileInfo();
        const LONG status = trust.Verify();
        if (status != 0) {
            TraceWinTrustFailure(kSingleSign, status);
            dwError = static_cast<DWORD>(status);
            // The verifier runs its own WinTrust calls with these settings:
            // this state is closed first so that each state is closed once.
            trust.CloseState();
            verified = VerifyByCertInfo(kSingleSign, pwszFile, trust.Data());
        } else if (DSM::AcceptSigner(kSingleSign, trust.State(), dwFlags)) {
            verified = true;
        } else {
            dwError = ERROR_FAILED_ISSUER_CHECK;
        }
    }
    return Finish(kSingleSign, verified, dwError);
}

VerifyResult CStvDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign(LPCWSTR pwszFile,
                                                                                DWORD dwFlags,
                                                                                bool bStrongHash) {
    DebugTraceW('D', TRACE_SRC_W, L"%s - >>> try to verify file=%s", kMultipleSign, pwszFile);
    DS::SignatureSettings settings = DSM::MultipleSignSettings(bStrongHash);

    bool verified = false;
    bool winTrustFailed = false;
    DWORD dwError = 0;
    {
        DSM::CEmbeddedSubject subject(pwszFile);
        DSM::CTrustVerification trust;
        DSM::InitTrustData(trust.Data(), WTD_CHOICE_FILE);
        trust.Data().cbStruct = DSM::kTrustDataExSize;
        trust.Data().pFile = subject.FileInfo();
        trust.Record().pSignatureSettings = &settings;

        verified = DSM::VerifyEachSignature(trust, settings, [&](LONG status, HANDLE hState) {
            if (status != 0) {
                TraceWinTrustFailure(kMultipleSign, status);
                dwError = static_cast<DWORD>(status);
                winTrustFailed = true;
                return false;
            }
            if (DSM::AcceptSigner(kMultipleSign, hState, dwFlags)) return true;
            dwError = ERROR_FAILED_ISSUER_CHECK;
            return false;
        });
        trust.CloseState();

        if (!verified && winTrustFailed) {
            WINTRUST_DATA fallback = {};
            fallback.cbStruct = DSM::kTrustDataSize;
            fallback.dwUIChoice = WTD_UI_NONE;
            fallback.dwUnionChoice = WTD_CHOICE_FILE;
            fallback.pFile = subject.FileInfo();
            fallback.dwProvFlags = DSM::kProviderFlags;
            verified = VerifyByCertInfo(kMultipleSign, pwszFile, fallback);
        }
    }
    return Finish(kMultipleSign, verified, dwError);
}
