#include "ds_trustcall.h"

#include <cwchar>

#include "DebugTrace.h"
#include "HeldFile.h"
#include "ds_stvdsmanager.h"

namespace DSM {

CERT_STRONG_SIGN_PARA* StrongSignPolicy() {
    static char s_szPolicyOid[] = "1.3.6.1.4.1.311.72.1.1";  // szOID_CERT_STRONG_SIGN_OS_1
    static CERT_STRONG_SIGN_PARA s_policy = [] {
        CERT_STRONG_SIGN_PARA policy = {};
        policy.cbSize = sizeof(policy);
        policy.dwInfoChoice = CERT_STRONG_SIGN_OID_INFO_CHOICE;
        policy.pszOID = s_szPolicyOid;
        return policy;
    }();
    return &s_policy;
}

DS::SignatureSettings MultipleSignSettings(bool bStrongHash) {
    DS::SignatureSettings settings = {};
    settings.cbStruct = sizeof(settings);
    settings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
    settings.pCryptoPolicy = bStrongHash ? StrongSignPolicy() : nullptr;
    return settings;
}

void InitTrustData(WINTRUST_DATA& data, DWORD dwUnionChoice) {
    data = {};
    data.cbStruct = kTrustDataSize;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = dwUnionChoice;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = kProviderFlags;
}

// The held file when this thread holds the path, and the path with it, as
// documented; only without a handle does WinTrust open the path itself.
CEmbeddedSubject::CEmbeddedSubject(LPCWSTR pwszFile)
    : m_file(DS::OpenFileForCheck(pwszFile,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    m_fileInfo.cbStruct = sizeof(m_fileInfo);
    m_fileInfo.hFile = m_file ? m_file.get() : INVALID_HANDLE_VALUE;
    m_fileInfo.pcwszFilePath = pwszFile;
}

LONG CTrustVerification::Verify() {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    m_record.data.dwStateAction = WTD_STATEACTION_VERIFY;
    m_bStateOpen = true;
    return DS::Platform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action,
                                         &m_record);
}

void CTrustVerification::CloseState() {
    if (!m_bStateOpen) return;
    UTIL::CLastErrorPreserver keepLastError;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    m_record.data.dwStateAction = WTD_STATEACTION_CLOSE;
    DS::Platform().WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_record);
    m_record.data.hWVTStateData = nullptr;
    m_record.data.dwStateAction = WTD_STATEACTION_VERIFY;
    m_bStateOpen = false;
}

std::wstring HashToText(const BYTE* pbHash, size_t cbHash) {
    std::wstring text(cbHash * 2 + 1, L'\0');
    for (size_t i = 0; i < cbHash; ++i) {
        _snwprintf(&text[i * 2], 3, L"%02X", pbHash[i]);
    }
    text.resize(cbHash * 2);
    return text;
}

bool AcceptSigner(const wchar_t* function, HANDLE hState, DWORD dwFlags) {
    if (dwFlags == 0) {
        DebugTraceW('D', TRACE_SRC_W,
                    L"%s - find a valid digital signature and no need to check signer", function);
        return true;
    }
    const SignerSet allowed = CStvDigitalSignatureManagerEx::PrepareSigners(dwFlags);
    const std::wstring signer = CStvDigitalSignatureManagerEx::GetSignerFromhWVTStateData(hState);
    if (CStvDigitalSignatureManagerEx::VerifySignerForDigitalSignature(signer, allowed)) {
        DebugTraceW('D', TRACE_SRC_W, L"%s - find a valid digital signature and signer is correct",
                    function);
        return true;
    }
    DebugTraceW('D', TRACE_SRC_W, L"%s - find a valid digital signature but signer is incorrect",
                function);
    return false;
}

}  // namespace DSM
