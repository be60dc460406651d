#include "ds_createprocwithissuercheck.h"

#include "DebugTrace.h"
#include "ds_stvdsmanager.h"

BOOL CheckFileIssuer(LPCWSTR pwszFile, LPCWSTR pwszIssuerName) {
    static constexpr wchar_t kFunction[] = L"CheckFileIssuer";
    // No file or no issuer is no evidence of a signature.
    if (pwszFile == nullptr || pwszIssuerName == nullptr) {
        DebugTraceW('E', TRACE_SRC_W, L"%s - pwszFile or pwszIssuerName is NULL", kFunction);
        return FALSE;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - Checking whether file (%s) is signed by issuer (%s)",
                kFunction, pwszFile, pwszIssuerName);
    // Flag 1 admits exactly "Karvelo, Inc."; the issuer name serves the trace.
    const VerifyResult result = CStvDigitalSignatureManagerEx::VerifyDigitalSignatureAndLog(
        pwszFile, DS_VERIFY_KARVELO_SIGNER, false);
    if (result.bVerified) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - successfully to check digital signature for %s",
                    kFunction, pwszFile);
    } else {
        DebugTraceW('E', TRACE_SRC_W, L"%s - failed to check digital signature for %s, err=%d",
                    kFunction, pwszFile, result.dwErrorCode);
    }
    return result.bVerified ? TRUE : FALSE;
}
