// The WinTrust hash checks of CVerifyFileSignV2: one call on a single-sign
// platform, the primary and then each secondary signature on a multiple-sign
// platform. Both go through the platform table (see TrustPlatform.h).
#include <windows.h>
#include <softpub.h>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "UniqueHandle.h"
#include "multiplesigncheck.h"

namespace {

constexpr char kStrongSignPolicyOid[] = "1.3.6.1.4.1.311.72.1.1";
const HWND kNoWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);

// The file-info record takes the open file (the held one when this thread
// holds the path) and, as documented, its path; only when there is no
// handle does WinTrust open the path itself.
struct CTrustedFile {
    explicit CTrustedFile(LPCWSTR path)
        : handle(DS::OpenFileForCheck(path,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        info.cbStruct = sizeof(info);
        info.hFile = handle ? handle.get() : INVALID_HANDLE_VALUE;
        info.pcwszFilePath = path;
    }

    UTIL::unique_handle handle;
    WINTRUST_FILE_INFO info{};
};

// The caller's settings for a file check. The state handle is never the
// caller's: each check opens and closes its own state, and the caller closes
// its own, so every state is closed exactly once.
WINTRUST_DATA FileTrustData(const WINTRUST_DATA& settings, WINTRUST_FILE_INFO& file) {
    WINTRUST_DATA data = settings;
    data.cbStruct = sizeof(WINTRUST_DATA);
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    return data;
}

LONG Verify(void* trustData) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return DS::Platform().WinVerifyTrust(kNoWindow, &action, trustData);
}

LONG CloseState(WINTRUST_DATA& data, void* trustData) {
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG status = Verify(trustData);
    data.hWVTStateData = nullptr;
    return status;
}

// Settings of a check made without a caller: no user interface, nothing else.
WINTRUST_DATA DefaultSettings() {
    WINTRUST_DATA settings{};
    settings.dwUIChoice = WTD_UI_NONE;
    return settings;
}

}  // namespace

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV1(LPCWSTR pwszFile) {
    return VerifyEmbeddedSignatureV1(pwszFile, DefaultSettings());
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongHash) {
    return VerifyEmbeddedSignatureV2(pwszFile, bStrongHash, DefaultSettings());
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV1(LPCWSTR pwszFile, const WINTRUST_DATA& settings) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1";
    CTrustedFile file(pwszFile);
    WINTRUST_DATA data = FileTrustData(settings, file.info);
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    const LONG status = Verify(&data);
    DebugTraceW('D', TRACE_SRC_W, L"%s - WinVerifyTrust result=(0x%x)", kName, status);
    const LONG closeStatus = CloseState(data, &data);
    DebugTraceW('D', TRACE_SRC_W, L"%s - WinVerifyTrust close state action result=(0x%x)", kName,
                closeStatus);
    return status;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV2(LPCWSTR pwszFile, bool bStrongHash,
                                                  const WINTRUST_DATA& settings) {
    static constexpr wchar_t kName[] = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2";
    CTrustedFile file(pwszFile);
    CERT_STRONG_SIGN_PARA strongSign{};
    strongSign.cbSize = sizeof(strongSign);
    strongSign.dwInfoChoice = CERT_STRONG_SIGN_OID_INFO_CHOICE;
    strongSign.pszOID = const_cast<LPSTR>(kStrongSignPolicyOid);
    DS::SignatureSettings signatureSettings{};
    signatureSettings.cbStruct = sizeof(signatureSettings);
    signatureSettings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
    signatureSettings.pCryptoPolicy = bStrongHash ? &strongSign : nullptr;
    DS::WinTrustDataEx trust{FileTrustData(settings, file.info), &signatureSettings};
    trust.data.cbStruct = sizeof(trust);
    trust.data.dwStateAction = WTD_STATEACTION_VERIFY;

    LONG status = Verify(&trust);
    const DWORD secondaryCount = signatureSettings.cSecondarySigs;
    DebugTraceW('D', TRACE_SRC_W, L"%s - WinVerifyTrust result=(0x%x), secondary sigs=(%d)", kName,
                status, static_cast<int>(secondaryCount));
    // 64 bits: with a 32-bit index a reported count of 0xFFFFFFFF never ends.
    for (ULONGLONG index = 1; status != 0 && index <= secondaryCount; ++index) {
        const LONG closeStatus = CloseState(trust.data, &trust);
        if (closeStatus != 0) {
            DebugTraceW('D', TRACE_SRC_W, L"%s - close WinVerifyTrust failed... ret=(0x%x)", kName,
                        closeStatus);
            return closeStatus;
        }
        signatureSettings.dwIndex = static_cast<DWORD>(index);
        trust.data.dwStateAction = WTD_STATEACTION_VERIFY;
        status = Verify(&trust);
        DebugTraceW('D', TRACE_SRC_W, L"%s - Verify secondary signature at index %d... ret=(0x%x)",
                    kName, static_cast<int>(index), status);
    }
    const LONG closeStatus = CloseState(trust.data, &trust);
    if (closeStatus != 0) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - close WinVerifyTrust failed... ret=(0x%x)", kName,
                    closeStatus);
    }
    return status;
}
